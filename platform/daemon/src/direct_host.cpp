#include "daemon/direct_host.h"

#include <unistd.h>

#include "kernel_session.h"
#include "system_daemon.h"
#include "win32/kernel_transport.h"

namespace hl::daemon {
namespace {

// This process as the daemon would see it at the other end of its socket.
PeerIdentity ThisProcess() {
    PeerIdentity peer;
    peer.pid = ::getpid();
    peer.uid = ::geteuid();
    peer.gid = ::getegid();
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(static_cast<std::size_t>(count));
        const int got = ::getgroups(count, groups.data());
        for (int i = 0; i < got; ++i) {
            peer.groups.push_back(groups[static_cast<std::size_t>(i)]);
        }
    }
    return peer;
}

// Each request goes straight to the session, as the daemon hands a client's requests to its
// session, with the same bound on what a request may carry.
class SessionTransport : public protocol::Transport {
public:
    explicit SessionTransport(std::unique_ptr<Session> session) : session_(std::move(session)) {}

    protocol::CallResult Exchange(std::uint16_t type, std::uint32_t,
                                  std::span<const std::uint8_t> body,
                                  protocol::Bytes& reply) override {
        if (body.size() > protocol::MaxRequestBody(type) || !session_->Handle(type, body, reply)) {
            return protocol::CallResult::Refused;
        }
        return protocol::CallResult::Ok;
    }

private:
    std::unique_ptr<Session> session_;
};

}  // namespace

std::unique_ptr<DirectKernelHost> DirectKernelHost::Boot(const std::filesystem::path& root,
                                                         std::string& error) {
    auto system = std::make_unique<SystemDaemon>(root);
    BootOptions options;
    options.surface = false;
    options.listen = false;
    if (!system->Boot(error, options)) {
        return nullptr;
    }
    SystemDaemon& daemon = *system;
    hl::win32::SetKernelTransport([&daemon]() -> std::unique_ptr<protocol::Transport> {
        return std::make_unique<SessionTransport>(
            std::make_unique<KernelSession>(daemon, ThisProcess()));
    });
    return std::unique_ptr<DirectKernelHost>(new DirectKernelHost(std::move(system)));
}

DirectKernelHost::DirectKernelHost(std::unique_ptr<SystemDaemon> system)
    : system_(std::move(system)) {}

DirectKernelHost::~DirectKernelHost() {
    // The session goes first: it closes what the process left open while the kernel is there.
    hl::win32::SetKernelTransport({});
    system_.reset();
}

hl::kernel::Kernel& DirectKernelHost::kernel() {
    return system_->kernel();
}

}  // namespace hl::daemon
