// Wiping of secrets in a way the optimiser may not remove.
#pragma once

#include <cstddef>

namespace vdformat {

// Overwrites `size` bytes at `data` with zeros through a volatile pointer, so the stores stay even
// when the buffer is dead afterwards.
inline void SecureWipe(void* data, std::size_t size) noexcept {
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
}

template <typename T>
inline void SecureWipeObject(T& object) noexcept {
    SecureWipe(&object, sizeof(object));
}

// Wipes an object when it goes out of scope.
template <typename T>
class WipeOnExit {
public:
    explicit WipeOnExit(T& object) noexcept : object_(object) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() { SecureWipeObject(object_); }

private:
    T& object_;
};

}  // namespace vdformat
