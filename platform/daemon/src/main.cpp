// hlkernel ROOT: the kernel daemon of one system root, in the foreground.
#include <csignal>
#include <cstdio>
#include <string>

#include "system_daemon.h"

namespace {

hl::daemon::SystemDaemon* running = nullptr;

void OnSignal(int) {
    if (running != nullptr) {
        running->RequestStop();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hlkernel ROOT\n");
        return 64;
    }
    hl::daemon::SystemDaemon daemon(argv[1]);
    std::string error;
    if (!daemon.Boot(error)) {
        std::fprintf(stderr, "hlkernel: %s\n", error.c_str());
        return 1;
    }
    running = &daemon;
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    daemon.Run();
    daemon.Stop();
    running = nullptr;
    return 0;
}
