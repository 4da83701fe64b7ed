// The process's handle table: Win32 handles name host files, folders and kernel devices.
#pragma once

#include <cstdint>
#include <memory>

#include "internal.h"

namespace hl::win32 {

struct HandleObject {
    virtual ~HandleObject() = default;
};

// A host file or folder, opened by this process.
struct HostFile : HandleObject {
    explicit HostFile(int descriptor, bool isDirectory) : fd(descriptor), directory(isDirectory) {}
    ~HostFile() override;
    int fd;
    bool directory;
};

// A device opened through the kernel; the file pointer is kept here.
struct KernelFile : HandleObject {
    KernelFile(std::uint32_t kernelHandle, std::uint32_t linkGeneration)
        : handle(kernelHandle), generation(linkGeneration) {}
    ~KernelFile() override;
    std::uint32_t handle;
    std::uint32_t generation;  // of the connection the handle belongs to
    std::int64_t position = 0;
};

HANDLE InsertHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);
bool RemoveHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

}  // namespace hl::win32
