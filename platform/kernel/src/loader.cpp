// The service loader: a driver image is a shared object named by its service key's ImagePath,
// entered through DriverEntry with the service key path, left through its unload routine.
#include <dlfcn.h>
#include <link.h>

#include <chrono>
#include <thread>

#include "kernel/text.h"
#include "system.h"

namespace hl::kernel {

namespace {

constexpr std::u16string_view kServicesKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr CSHORT kIoTypeDriver = 4;

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

NTSTATUS ReadImagePath(std::u16string_view service, std::u16string& image) {
    registry::Store* store = Sys().store;
    if (!store) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    registry::KeyPath key{registry::Root::LocalMachine,
                          "System\\CurrentControlSet\\Services\\" + Utf16ToUtf8(service)};
    registry::Caller system;
    NTSTATUS status = FromRegistry(store->OpenKey(system, key));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::uint32_t type = REG_NONE;
    std::vector<std::uint8_t> data;
    registry::Result result = store->QueryValue(system, key, "ImagePath", type, data);
    if (result == registry::Result::NotFound) {
        image = u"\\SystemRoot\\System32\\drivers\\" + std::u16string(service) + u".sys";
        return STATUS_SUCCESS;
    }
    if (result != registry::Result::Ok) {
        return FromRegistry(result);
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    image.clear();
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        auto c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0) {
            break;
        }
        image += c;
    }
    return image.empty() ? STATUS_OBJECT_NAME_INVALID : STATUS_SUCCESS;
}

std::u16string ImageNtPath(const std::u16string& image) {
    if (StartsWithNoCase(image, u"%SystemRoot%\\")) {
        return u"\\SystemRoot\\" + image.substr(13);
    }
    if (!image.empty() && image[0] == u'\\') {
        return image;
    }
    if (image.size() >= 3 && image[1] == u':' && image[2] == u'\\') {
        return u"\\??\\" + image;
    }
    return u"\\SystemRoot\\" + image;
}

// The address range of a loaded image, to tell its threads from others.
void ImageRange(void* symbol, DriverObj& driver) {
    Dl_info info{};
    if (!dladdr(symbol, &info)) {
        return;
    }
    struct Range {
        const void* base;
        const void* end;
    } range{info.dli_fbase, info.dli_fbase};
    dl_iterate_phdr(
        [](dl_phdr_info* phdr, size_t, void* data) {
            auto* r = static_cast<Range*>(data);
            ElfW(Addr) lowest = ~ElfW(Addr){0}, highest = 0;
            for (int i = 0; i < phdr->dlpi_phnum; ++i) {
                if (phdr->dlpi_phdr[i].p_type == PT_LOAD) {
                    lowest = std::min(lowest, phdr->dlpi_addr + phdr->dlpi_phdr[i].p_vaddr);
                    highest = std::max(highest, phdr->dlpi_addr + phdr->dlpi_phdr[i].p_vaddr +
                                                    phdr->dlpi_phdr[i].p_memsz);
                }
            }
            if (reinterpret_cast<const void*>(lowest) == r->base) {
                r->end = reinterpret_cast<const void*>(highest);
                return 1;
            }
            return 0;
        },
        &range);
    driver.imageBegin = range.base;
    driver.imageEnd = range.end;
}

// Runs a driver routine as the system: no caller identity of the host thread applies.
template <class F>
auto AsSystem(F&& routine) {
    Thread* thread = Sys().threads.Current();
    std::optional<CallerIdentity> saved;
    {
        std::lock_guard guard(thread->lock);
        saved = std::exchange(thread->caller, std::nullopt);
    }
    auto result = routine();
    std::lock_guard guard(thread->lock);
    thread->caller = saved;
    return result;
}

// After DriverEntry failed or the unload routine ran: the image goes when nothing of it is left.
void Release(DriverObj& driver, bool unloaded) {
    System& system = Sys();
    driver.unloaded.store(true);
    // No request enters any more; those already inside a dispatch routine are let out first.
    for (unsigned spins = 0; driver.dispatching.load(); ++spins) {
        if (spins < 1000) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    system.io.AbandonRequestsOf(&driver.object);
    bool keep = false;
    if (driver.object.DeviceObject) {
        BugCheck(std::string(unloaded ? "the unload routine" : "a failed DriverEntry") +
                 " left device objects behind; the image stays loaded");
        keep = true;
    }
    if (system.threads.RunningIn(driver.imageBegin, driver.imageEnd)) {
        BugCheck("system threads of an unloaded driver still run; the image stays loaded");
        keep = true;
    }
    system.objects.Remove(&driver);
    if (!keep && driver.module) {
        dlclose(driver.module);
        driver.module = nullptr;
    }
}

}  // namespace

void UnloadAllDrivers() {
    System& system = Sys();
    std::lock_guard guard(system.loaderLock);
    while (!system.drivers.empty()) {
        auto last = std::prev(system.drivers.end());
        Ref<DriverObj> driver = last->second.driver;
        system.drivers.erase(last);
        if (!driver->object.DriverUnload) {
            if (driver->object.DeviceObject) {
                BugCheck("a driver without an unload routine still has devices at shutdown");
            }
            system.objects.Remove(driver.get());
            continue;
        }
        driver->unloaded.store(true);
        AsSystem([&] {
            driver->object.DriverUnload(&driver->object);
            return 0;
        });
        Release(*driver, true);
    }
}

NTSTATUS Kernel::LoadDriver(std::u16string_view serviceName) {
    System& system = *system_;
    std::lock_guard guard(system.loaderLock);
    const std::u16string key = Upcase(serviceName);
    if (serviceName.empty() || serviceName.find(u'\\') != std::u16string_view::npos) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (system.drivers.contains(key)) {
        return STATUS_IMAGE_ALREADY_LOADED;
    }
    std::u16string image;
    NTSTATUS status = ReadImagePath(serviceName, image);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::filesystem::path hostPath;
    status = hl::kernel::ResolveHostPath(ImageNtPath(image), hostPath);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(hostPath, error)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    void* module = dlopen(hostPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* why = dlerror();
        BugCheck(std::string("the driver image cannot be loaded: ") + (why ? why : "?"));
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    auto* entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
    if (!entry) {
        dlclose(module);
        return STATUS_PROCEDURE_NOT_FOUND;
    }

    auto driver = MakeObject<DriverObj>();
    driver->module = module;
    driver->serviceName = std::u16string(serviceName);
    driver->driverName = u"\\Driver\\" + driver->serviceName;
    ImageRange(reinterpret_cast<void*>(entry), *driver);
    DRIVER_OBJECT& object = driver->object;
    object.Type = kIoTypeDriver;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverSection = static_cast<Object*>(driver.get());
    object.DriverExtension = &driver->extension;
    object.DriverInit = entry;
    object.DriverStart = const_cast<void*>(driver->imageBegin);
    object.DriverSize = static_cast<ULONG>(static_cast<const char*>(driver->imageEnd) -
                                           static_cast<const char*>(driver->imageBegin));
    object.DriverName = {static_cast<USHORT>(driver->driverName.size() * sizeof(WCHAR)),
                         static_cast<USHORT>(driver->driverName.size() * sizeof(WCHAR)),
                         driver->driverName.data()};
    driver->extension.DriverObject = &object;
    driver->extension.ServiceKeyName = {
        static_cast<USHORT>(driver->serviceName.size() * sizeof(WCHAR)),
        static_cast<USHORT>(driver->serviceName.size() * sizeof(WCHAR)),
        driver->serviceName.data()};
    for (auto& dispatch : object.MajorFunction) {
        dispatch = InvalidDeviceRequest;
    }
    status = system.objects.Insert(driver->driverName, driver.get(), true);
    if (!NT_SUCCESS(status)) {
        dlclose(module);
        return status;
    }

    // The registry path lives only for the call, as on NT: a driver keeps its own copy.
    auto registryPath = std::make_unique<std::u16string>(std::u16string(kServicesKey) +
                                                         std::u16string(serviceName));
    UNICODE_STRING path{static_cast<USHORT>(registryPath->size() * sizeof(WCHAR)),
                        static_cast<USHORT>((registryPath->size() + 1) * sizeof(WCHAR)),
                        registryPath->data()};
    status = AsSystem([&] { return entry(&object, &path); });
    registryPath.reset();
    if (!NT_SUCCESS(status)) {
        Release(*driver, false);
        return status;
    }
    {
        std::lock_guard devices(system.driverLock);
        for (PDEVICE_OBJECT device = object.DeviceObject; device; device = device->NextDevice) {
            device->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    }
    system.drivers[key] = LoadedDriver{driver};
    return status;
}

NTSTATUS Kernel::UnloadDriver(std::u16string_view serviceName) {
    System& system = *system_;
    std::lock_guard guard(system.loaderLock);
    auto found = system.drivers.find(Upcase(serviceName));
    if (found == system.drivers.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Ref<DriverObj> driver = found->second.driver;
    if (!driver->object.DriverUnload) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    system.drivers.erase(found);
    driver->unloaded.store(true);
    AsSystem([&] {
        driver->object.DriverUnload(&driver->object);
        return 0;
    });
    Release(*driver, true);
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT Kernel::FindDriver(std::u16string_view serviceName) {
    std::lock_guard guard(system_->loaderLock);
    auto found = system_->drivers.find(Upcase(serviceName));
    return found == system_->drivers.end() ? nullptr : &found->second.driver->object;
}

}  // namespace hl::kernel
