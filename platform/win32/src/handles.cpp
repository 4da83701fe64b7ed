#include "handles.h"

#include <unistd.h>

#include <mutex>
#include <unordered_map>

#include "kernel_link.h"

namespace hl::win32 {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<HandleObject>> objects;
    std::uintptr_t next = 0x100;
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

}  // namespace

HostFile::~HostFile() {
    ::close(fd);
}

KernelFile::~KernelFile() {
    protocol::StatusReply reply;
    (void)KernelCall<protocol::RequestType::CloseHandle>({handle}, reply, &generation);
}

HANDLE InsertHandle(std::shared_ptr<HandleObject> object) {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    const std::uintptr_t value = table.next;
    table.next += 4;  // handle values are multiples of four, as on Windows
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    const auto found = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == table.objects.end() ? nullptr : found->second;
}

bool RemoveHandle(HANDLE handle) {
    std::shared_ptr<HandleObject> object;
    {
        HandleTable& table = Table();
        std::lock_guard lock(table.mutex);
        const auto found = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (found == table.objects.end()) {
            return false;
        }
        object = std::move(found->second);
        table.objects.erase(found);
    }
    return true;  // the object closes once the last call using it returns
}

}  // namespace hl::win32

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    return hl::win32::RemoveHandle(hObject) ? TRUE : hl::win32::Fail(ERROR_INVALID_HANDLE);
}
