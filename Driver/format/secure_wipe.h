// Wiping of secrets in a way the optimiser may not remove.
#pragma once

#include <cstddef>
#include <cstring>

namespace vdformat {

// Overwrites `size` bytes at `data` with zeros in a way that stays even when the buffer is dead
// afterwards. Transfer buffers are wiped after every read, so the wipe runs at memset's speed.
inline void SecureWipe(void* data, std::size_t size) noexcept {
#if defined(__GNUC__)
    std::memset(data, 0, size);
    // The compiler must assume the zeros are read here, so it cannot drop the stores.
    __asm__ __volatile__("" : : "r"(data) : "memory");
#else
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
#endif
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
