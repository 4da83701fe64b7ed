// This process's connection to its system's kernel daemon.
#pragma once

#include <mutex>

#include "internal.h"
#include "protocol/channel.h"

namespace hl::win32 {

class KernelLink {
public:
    // The connection, made on first use; nullptr when the system is not booted.
    static KernelLink* Get();

    // One request and its reply; false (with the last error set) when the daemon is gone or
    // refused the message.
    template <protocol::RequestType Type>
    bool Call(const typename protocol::Request<Type>::In& in,
              typename protocol::Request<Type>::Out& out) {
        std::lock_guard lock(mutex_);
        const protocol::CallResult result = protocol::Call<Type>(channel_, ++sequence_, in, out);
        if (result == protocol::CallResult::Ok) {
            return true;
        }
        SetLastError(result == protocol::CallResult::Disconnected ? ERROR_NOT_READY
                                                                  : ERROR_INVALID_PARAMETER);
        return false;
    }

private:
    explicit KernelLink(int fd) : channel_(fd) {}
    std::mutex mutex_;
    protocol::Channel channel_;
    std::uint32_t sequence_ = 0;
};

// A kernel call whose reply carries a status: false with the matching last error when the
// status is a failure.
template <protocol::RequestType Type>
bool KernelCall(const typename protocol::Request<Type>::In& in,
                typename protocol::Request<Type>::Out& out) {
    KernelLink* link = KernelLink::Get();
    if (link == nullptr) {
        SetLastError(ERROR_NOT_READY);
        return false;
    }
    if (!link->Call<Type>(in, out)) {
        return false;
    }
    if (out.status < 0) {
        SetLastError(Win32ErrorFromNtStatus(out.status));
        return false;
    }
    return true;
}

}  // namespace hl::win32
