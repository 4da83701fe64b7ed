// This process's connection to its system's kernel daemon, made on first use and again after
// the daemon restarted. Handles from an earlier connection are dead: each connection has a
// generation number that kernel handles remember.
#pragma once

#include <memory>
#include <mutex>

#include "internal.h"
#include "protocol/channel.h"
#include "win32/kernel_transport.h"

namespace hl::win32 {

class KernelLink {
public:
    static KernelLink& Instance();

    // True when the system's kernel answers (connecting if need be).
    bool Available();
    std::uint32_t Generation();
    void SetTransport(KernelTransportFactory factory);

    // One request and its reply; false (with the last error set) when there is no kernel, it
    // went away, or it refused the message. `generation`, when given, must still be current.
    template <protocol::RequestType Type>
    bool Call(const typename protocol::Request<Type>::In& in,
              typename protocol::Request<Type>::Out& out,
              const std::uint32_t* generation = nullptr) {
        std::lock_guard lock(mutex_);
        if (!ConnectLocked()) {
            SetLastError(ERROR_NOT_READY);
            return false;
        }
        if (generation != nullptr && *generation != generation_) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        protocol::CallResult result = protocol::Call<Type>(*transport_, ++sequence_, in, out);
        if (result == protocol::CallResult::NotSent && generation == nullptr) {
            // The kernel restarted since the last call; a request that never left is sent to the
            // new one (handles of the old one are dead, so only handle-free requests qualify).
            transport_.reset();
            if (ConnectLocked()) {
                result = protocol::Call<Type>(*transport_, ++sequence_, in, out);
            }
        }
        if (result != protocol::CallResult::Ok && result != protocol::CallResult::Refused) {
            transport_.reset();
            SetLastError(ERROR_NOT_READY);
            return false;
        }
        if (result == protocol::CallResult::Refused) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        return true;
    }

private:
    bool ConnectLocked();
    std::unique_ptr<protocol::Transport> ConnectSocket();

    std::mutex mutex_;
    KernelTransportFactory factory_;  // empty: the daemon's socket
    std::unique_ptr<protocol::Transport> transport_;
    std::uint32_t sequence_ = 0;
    std::uint32_t generation_ = 0;
    int owner_ = 0;  // the process the connection belongs to: a forked child makes its own
};

// A kernel call whose reply carries a status: false with the matching last error when the
// status is a failure.
template <protocol::RequestType Type>
bool KernelCall(const typename protocol::Request<Type>::In& in,
                typename protocol::Request<Type>::Out& out,
                const std::uint32_t* generation = nullptr) {
    if (!KernelLink::Instance().Call<Type>(in, out, generation)) {
        return false;
    }
    if (out.status < 0) {
        SetLastError(Win32ErrorFromNtStatus(out.status));
        return false;
    }
    return true;
}

}  // namespace hl::win32
