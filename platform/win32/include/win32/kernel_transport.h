// Where this process's kernel requests go: by default to the daemon of its system root, over the
// daemon's socket. A process that hosts the kernel itself (a unit test) gives its own transport,
// and every Win32 call that reaches the kernel goes through it instead.
#pragma once

#include <functional>
#include <memory>

namespace hl::protocol {
class Transport;
}

namespace hl::win32 {

// Makes a connection; nullptr when there is no kernel to reach.
using KernelTransportFactory = std::function<std::unique_ptr<hl::protocol::Transport>()>;

// Ends the current connection (its handles die with it, as with a restarted daemon) and makes
// the next ones with `factory`; an empty factory restores the daemon's socket.
void SetKernelTransport(KernelTransportFactory factory);

}  // namespace hl::win32
