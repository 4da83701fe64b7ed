#include "kernel_link.h"

#include <unistd.h>

namespace hl::win32 {

KernelLink* KernelLink::Get() {
    static KernelLink* link = []() -> KernelLink* {
        const auto& root = SystemRoot();
        if (!root) {
            return nullptr;
        }
        const std::string socketPath = (*root / "run" / "kernel.sock").string();
        const int fd = protocol::Channel::Connect(socketPath.c_str());
        if (fd < 0) {
            return nullptr;
        }
        auto* made = new KernelLink(fd);  // lives as long as the process
        protocol::HelloReply reply;
        if (!made->Call<protocol::RequestType::Hello>({static_cast<std::uint32_t>(::getpid())},
                                                      reply)) {
            delete made;
            return nullptr;
        }
        return made;
    }();
    return link;
}

}  // namespace hl::win32
