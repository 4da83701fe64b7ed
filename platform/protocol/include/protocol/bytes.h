// Message bodies and the byte fields in them. Device-control records carry passwords and key
// material, and transfers carry deciphered sectors, so every buffer of this type is wiped when it
// is freed, including the old storage left behind when the buffer grows.
#pragma once

#include <string.h>  // explicit_bzero

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace hl::protocol {

// Zeroes memory with stores the optimiser keeps.
inline void Wipe(void* data, std::size_t size) noexcept {
    if (data != nullptr && size != 0) {
        explicit_bzero(data, size);
    }
}

template <typename T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) { return std::allocator<T>().allocate(count); }
    void deallocate(T* memory, std::size_t count) noexcept {
        Wipe(memory, count * sizeof(T));
        std::allocator<T>().deallocate(memory, count);
    }
    template <typename U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

using Bytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

}  // namespace hl::protocol
