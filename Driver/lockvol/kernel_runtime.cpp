// The C++ allocation calls, over pool memory: a kernel has no C++ runtime to take them from. The
// driver itself allocates from pool directly; these serve what the compiler and the container
// format library refer to (deleting destructors, the format's default working memory).
#include <ntddk.h>

#include <cstddef>
#include <new>

#include "lockvol/disk_device.h"

void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
    return ExAllocatePoolWithTag(NonPagedPool, bytes, LOCKVOL_POOL_TAG);
}

void operator delete(void* memory) noexcept {
    if (memory != nullptr) {
        ExFreePoolWithTag(memory, LOCKVOL_POOL_TAG);
    }
}

void operator delete(void* memory, std::size_t) noexcept {
    operator delete(memory);
}
