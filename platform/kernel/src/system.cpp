// Boot and shutdown of the kernel, and what the whole kernel shares.
#include "system.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "kernel/text.h"

namespace hl::kernel {

namespace {

std::atomic<System*> g_system{nullptr};
std::atomic<std::uint64_t> g_generations{0};

}  // namespace

System* CurrentSystem() {
    return g_system.load();
}

void SetCurrentSystem(System* system) {
    g_system.store(system);
}

System& Sys() {
    System* system = g_system.load();
    if (!system) {
        std::fprintf(stderr, "kernel: an NT kernel call was made while no kernel is booted\n");
        std::abort();
    }
    return *system;
}

void BugCheck(const std::string& what) {
    std::fprintf(stderr, "kernel: driver fault: %s\n", what.c_str());
    if (System* system = g_system.load()) {
        system->Diagnose(what);
    }
}

System::System(const KernelConfig& kernelConfig)
    : config(kernelConfig), store(kernelConfig.registry), generation(++g_generations) {
    int count = getgroups(0, nullptr);
    if (count > 0) {
        hostGroups.resize(static_cast<std::size_t>(count));
        getgroups(count, hostGroups.data());
    }
}

System::~System() = default;

void System::Diagnose(std::string line) {
    std::lock_guard guard(diagnosticsLock_);
    diagnostics_.push_back(std::move(line));
}

std::vector<std::string> System::Diagnostics() {
    std::lock_guard guard(diagnosticsLock_);
    return diagnostics_;
}

std::u16string ToU16(const UNICODE_STRING* text) {
    if (!text || !text->Buffer) {
        return {};
    }
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

std::u16string ToU16(PCWSTR text) {
    return text ? std::u16string(text) : std::u16string();
}

std::string HexStatus(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// ---------------------------------------------------------------------------------------------

NTSTATUS Kernel::Boot(const KernelConfig& config, std::unique_ptr<Kernel>& kernel) {
    auto system = std::make_unique<System>(config);
    System* expected = nullptr;
    if (!g_system.compare_exchange_strong(expected, system.get())) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    system->objects.Boot();
    kernel.reset(new Kernel(std::move(system)));
    return STATUS_SUCCESS;
}

Kernel::Kernel(std::unique_ptr<System> system) : system_(std::move(system)) {}

void Kernel::Shutdown() {
    if (g_system.load() != system_.get()) {
        return;
    }
    UnloadAllDrivers();
    system_->threads.JoinAll();
    system_->objects.Shutdown();
    system_->pool.ReleaseAll();
    if (std::size_t irps = system_->io.InFlight()) {
        BugCheck(std::to_string(irps) + " IRPs were never completed or never freed");
    }
    if (std::size_t left = system_->objects.LiveCount()) {
        BugCheck(std::to_string(left) + " kernel objects are still referenced at shutdown");
    }
    g_system.store(nullptr);
}

Kernel::~Kernel() {
    Shutdown();
}

Faults& Kernel::faults() {
    return system_->faults;
}

std::vector<std::string> Kernel::Diagnostics() const {
    return system_->Diagnostics();
}

std::size_t Kernel::PoolAllocations() const {
    return system_->pool.Outstanding();
}

std::size_t Kernel::PendingRequests() const {
    return system_->io.InFlight();
}

std::size_t Kernel::OpenHandles() const {
    return system_->objects.HandleCount();
}

std::vector<SystemThreadInfo> Kernel::SystemThreads() const {
    return system_->threads.Snapshot();
}

bool Kernel::ObjectExists(std::u16string_view ntName) {
    Lookup found;
    return NT_SUCCESS(system_->objects.Resolve(ntName, false, found)) && found.remaining.empty();
}

std::optional<std::u16string> Kernel::SymbolicLinkTarget(std::u16string_view ntName) {
    Lookup found;
    if (!NT_SUCCESS(system_->objects.Resolve(ntName, false, found)) ||
        found.object->kind() != ObjectKind::SymbolicLink || !found.remaining.empty()) {
        return std::nullopt;
    }
    std::lock_guard guard(system_->objects.lock);
    return static_cast<SymbolicLink*>(found.object.get())->target;
}

PDEVICE_OBJECT Kernel::FindDevice(std::u16string_view ntName) {
    Lookup found;
    if (!NT_SUCCESS(system_->objects.Resolve(ntName, true, found)) ||
        found.object->kind() != ObjectKind::Device || !found.remaining.empty()) {
        return nullptr;
    }
    return &static_cast<DeviceObj*>(found.object.get())->object;
}

namespace {

void CollectDevices(ObjectManager& objects, Directory& directory, DEVICE_TYPE type,
                    std::vector<std::u16string>& names) {
    for (auto& [key, entry] : directory.entries) {
        if (entry->kind() == ObjectKind::Directory) {
            CollectDevices(objects, static_cast<Directory&>(*entry), type, names);
        } else if (entry->kind() == ObjectKind::Device &&
                   static_cast<DeviceObj&>(*entry).object.DeviceType == type) {
            std::u16string name;
            for (Object* at = entry.get(); at != nullptr && at->parent != nullptr;
                 at = at->parent) {
                name = u"\\" + at->name + name;
            }
            names.push_back(name);
        }
    }
}

}  // namespace

std::vector<std::u16string> Kernel::DeviceNames(DEVICE_TYPE type) {
    std::vector<std::u16string> names;
    std::lock_guard guard(system_->objects.lock);
    CollectDevices(system_->objects, *system_->objects.rootDirectory, type, names);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::u16string> Kernel::DirectoryEntries(std::u16string_view ntName) {
    Lookup found;
    std::vector<std::u16string> names;
    if (!NT_SUCCESS(system_->objects.Resolve(ntName, true, found)) ||
        found.object->kind() != ObjectKind::Directory || !found.remaining.empty()) {
        return names;
    }
    std::lock_guard guard(system_->objects.lock);
    for (auto& [key, object] : static_cast<Directory*>(found.object.get())->entries) {
        names.push_back(object->name);
    }
    return names;
}

NTSTATUS Kernel::MapDrive(std::u16string_view drive, const std::filesystem::path& folder) {
    if (drive.size() != 2 || drive[1] != u':' || Upcase(drive[0]) < u'A' ||
        Upcase(drive[0]) > u'Z') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::u16string device = u"\\Device\\HostDrive";
    device += Upcase(drive[0]);
    auto volume = MakeObject<HostFolder>(std::filesystem::absolute(folder));
    NTSTATUS status = system_->objects.Insert(device, volume.get(), true);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto link = MakeObject<SymbolicLink>(device);
    status = system_->objects.Insert(u"\\??\\" + std::u16string(drive), link.get(), true);
    if (!NT_SUCCESS(status)) {
        system_->objects.Remove(volume.get());
    }
    return status;
}

NTSTATUS Kernel::AddShare(std::u16string_view server, std::u16string_view share,
                          const std::filesystem::path& folder) {
    if (server.empty() || share.empty() || server.find(u'\\') != std::u16string_view::npos ||
        share.find(u'\\') != std::u16string_view::npos) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Lookup found;
    NTSTATUS status = system_->objects.Resolve(u"\\Device\\Mup", true, found);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* table = static_cast<ShareTable*>(found.object.get());
    std::lock_guard guard(table->lock);
    auto key = Upcase(std::u16string(server) + u"\\" + std::u16string(share));
    if (!table->shares.emplace(key, std::filesystem::absolute(folder)).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Kernel::ResolveHostPath(std::u16string_view ntPath, std::filesystem::path& hostPath) {
    return hl::kernel::ResolveHostPath(ntPath, hostPath);
}

void Kernel::SetThreadCaller(const CallerIdentity& caller) {
    Thread* thread = Sys().threads.Current();
    std::lock_guard guard(thread->lock);
    thread->caller = caller;
}

void Kernel::ClearThreadCaller() {
    Thread* thread = Sys().threads.Current();
    std::lock_guard guard(thread->lock);
    thread->caller.reset();
}

std::optional<CallerIdentity> Kernel::ThreadCaller() {
    Thread* thread = Sys().threads.Current();
    std::lock_guard guard(thread->lock);
    return thread->caller;
}

}  // namespace hl::kernel
