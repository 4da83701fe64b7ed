#include "kernel_link.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace hl::win32 {
namespace {

// Said once per process, as Wine says when it finds no server: the calls themselves fail the
// Windows way, and this tells the user why.
void ReportNoKernel(const std::filesystem::path& root) {
    static bool reported = false;
    if (!reported) {
        reported = true;
        std::fprintf(stderr,
                     "%s: the kernel of the system %s is not running; start it with: hlsys boot "
                     "%s\n",
                     program_invocation_short_name, root.c_str(), root.c_str());
    }
}

}  // namespace

KernelLink& KernelLink::Instance() {
    static KernelLink* link = new KernelLink;  // lives as long as the process
    return *link;
}

bool KernelLink::ConnectLocked() {
    if (transport_ && owner_ != ::getpid()) {
        // The parent's connection is not ours to use: our handles of it are dead too.
        transport_.reset();
        ++generation_;
    }
    if (transport_) {
        return true;
    }
    std::unique_ptr<protocol::Transport> transport = factory_ ? factory_() : ConnectSocket();
    if (!transport) {
        return false;
    }
    protocol::HelloReply reply;
    if (protocol::Call<protocol::RequestType::Hello>(*transport, ++sequence_,
                                                     {static_cast<std::uint32_t>(::getpid())},
                                                     reply) != protocol::CallResult::Ok) {
        return false;
    }
    transport_ = std::move(transport);
    owner_ = ::getpid();
    ++generation_;
    return true;
}

std::unique_ptr<protocol::Transport> KernelLink::ConnectSocket() {
    const auto& root = SystemRoot();
    if (!root) {
        return nullptr;
    }
    const std::string socketPath = (*root / "run" / "kernel.sock").string();
    const int fd = protocol::Channel::Connect(socketPath.c_str());
    if (fd < 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) {
            ReportNoKernel(*root);
        }
        return nullptr;
    }
    return std::make_unique<protocol::ChannelTransport>(fd);
}

void KernelLink::SetTransport(KernelTransportFactory factory) {
    std::lock_guard lock(mutex_);
    if (transport_) {
        transport_.reset();
        ++generation_;
    }
    factory_ = std::move(factory);
}

bool KernelLink::Available() {
    std::lock_guard lock(mutex_);
    return ConnectLocked();
}

std::uint32_t KernelLink::Generation() {
    std::lock_guard lock(mutex_);
    return generation_;
}

void SetKernelTransport(KernelTransportFactory factory) {
    KernelLink::Instance().SetTransport(std::move(factory));
}

}  // namespace hl::win32
