#include "surface_volumes.h"

#include <ntdddisk.h>

#include <mutex>

#include "kernel/text.h"

namespace hl::daemon {
namespace {

using surface::IoResult;
using surface::VolumeResult;

IoResult FromStatus(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS:
            return IoResult::Ok;
        case STATUS_NO_MEDIA_IN_DEVICE:
            return IoResult::NoMedia;
        case STATUS_MEDIA_WRITE_PROTECTED:
            return IoResult::WriteProtected;
        case STATUS_INVALID_PARAMETER:
            return IoResult::InvalidRange;
        case STATUS_VERIFY_REQUIRED:
        case STATUS_VOLUME_DISMOUNTED:
            return IoResult::MediaChanged;
        default:
            return IoResult::DeviceError;
    }
}

NTSTATUS ToStatus(VolumeResult result) {
    switch (result) {
        case VolumeResult::Ok:
            return STATUS_SUCCESS;
        case VolumeResult::InvalidLetter:
            return STATUS_OBJECT_NAME_INVALID;
        case VolumeResult::NotBound:
        case VolumeResult::DeviceNotFound:
            return STATUS_OBJECT_NAME_NOT_FOUND;
        case VolumeResult::NoMedia:
            return STATUS_NO_MEDIA_IN_DEVICE;
        case VolumeResult::Raw:
            return STATUS_UNRECOGNIZED_VOLUME;
        case VolumeResult::WriteProtected:
            return STATUS_MEDIA_WRITE_PROTECTED;
        case VolumeResult::InUse:
        case VolumeResult::Locked:
            return STATUS_ACCESS_DENIED;
        case VolumeResult::NotLocked:
            return STATUS_NOT_LOCKED;
        default:
            return STATUS_UNSUCCESSFUL;
    }
}

// A disk device of the kernel, reached through a file the daemon keeps open on it. The driver
// serves one request of a device at a time anyway, so the surface's threads take turns. Its
// state costs two control requests, so the surface asks for it only when the media may have
// changed; a transfer that meets another container says so and the surface asks then.
class KernelDisk : public surface::BlockDevice {
public:
    KernelDisk(hl::kernel::Kernel& kernel, std::u16string ntName, std::string name,
               std::unique_ptr<hl::kernel::DeviceFile> file)
        : kernel_(kernel),
          ntName_(std::move(ntName)),
          name_(std::move(name)),
          file_(std::move(file)) {}

    std::string Name() const override { return name_; }

    surface::DeviceState State() override {
        std::lock_guard lock(mutex_);
        surface::DeviceState state;
        GET_LENGTH_INFORMATION length{};
        const auto io = Fresh([&] {
            return file_->DeviceControl(IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                                        sizeof(length));
        });
        if (!NT_SUCCESS(io.status)) {
            return state;
        }
        state.mediaPresent = true;
        state.length = static_cast<std::uint64_t>(length.Length.QuadPart);
        const auto writable = file_->DeviceControl(IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0);
        state.writeProtected = writable.status == STATUS_MEDIA_WRITE_PROTECTED;
        hl::kernel::CallerIdentity owner;
        if (kernel_.DeviceOwner(file_->Device(), owner)) {
            state.ownerUid = owner.uid;
            state.ownerGid = owner.gid;
        }
        return state;
    }

    IoResult ReadSectors(std::uint64_t offset, void* buffer, std::size_t length) override {
        std::lock_guard lock(mutex_);
        const auto io =
            file_->Read(buffer, static_cast<ULONG>(length), static_cast<LONGLONG>(offset));
        return NT_SUCCESS(io.status) && io.information != length ? IoResult::DeviceError
                                                                 : FromStatus(io.status);
    }

    IoResult WriteSectors(std::uint64_t offset, const void* buffer, std::size_t length) override {
        std::lock_guard lock(mutex_);
        const auto io =
            file_->Write(buffer, static_cast<ULONG>(length), static_cast<LONGLONG>(offset));
        return NT_SUCCESS(io.status) && io.information != length ? IoResult::DeviceError
                                                                 : FromStatus(io.status);
    }

    IoResult Flush() override {
        std::lock_guard lock(mutex_);
        return FromStatus(file_->Flush().status);
    }

private:
    // A handle from before the disk's present container serves nothing: the surface, which is
    // the system's own, opens the disk afresh when it learns the new state. Transfers never do:
    // the surface must first see whom the new container admits.
    template <class Call>
    hl::kernel::IoResult Fresh(Call call) {
        hl::kernel::IoResult io = call();
        if (io.status == STATUS_VOLUME_DISMOUNTED) {
            hl::kernel::ScopedCaller system(hl::kernel::CallerIdentity{});
            std::unique_ptr<hl::kernel::DeviceFile> file;
            if (NT_SUCCESS(kernel_.OpenDevice(ntName_, GENERIC_READ | GENERIC_WRITE, file))) {
                file_ = std::move(file);
                io = call();
            }
        }
        return io;
    }

    hl::kernel::Kernel& kernel_;
    std::u16string ntName_;
    std::string name_;
    std::mutex mutex_;
    std::unique_ptr<hl::kernel::DeviceFile> file_;
};

// "\Device\Harddisk\VaultDisk0" -> "VaultDisk0": the surface file's name.
std::string LeafName(std::u16string_view ntName) {
    const std::size_t slash = ntName.rfind(u'\\');
    return hl::kernel::Utf16ToUtf8(
        ntName.substr(slash == std::u16string_view::npos ? 0 : slash + 1));
}

}  // namespace

SurfaceVolumes::SurfaceVolumes(hl::kernel::Kernel& kernel, std::filesystem::path root)
    : kernel_(kernel), surface_(std::make_unique<surface::DiskSurface>(std::move(root))) {}

SurfaceVolumes::~SurfaceVolumes() {
    mounts_.reset();  // dismounts every volume first
    surface_->Stop();
}

std::unique_ptr<SurfaceVolumes> SurfaceVolumes::Start(const std::filesystem::path& root,
                                                      hl::kernel::Kernel& kernel,
                                                      std::string& error) {
    std::unique_ptr<SurfaceVolumes> volumes(new SurfaceVolumes(kernel, root));
    if (volumes->surface_->Start() != surface::SurfaceResult::Ok) {
        error = "the disk surface cannot be mounted at " + (root / "dev").string();
        return nullptr;
    }
    for (const std::u16string& name : kernel.DeviceNames(FILE_DEVICE_DISK)) {
        std::unique_ptr<hl::kernel::DeviceFile> file;
        if (NT_SUCCESS(kernel.OpenDevice(name, GENERIC_READ | GENERIC_WRITE, file))) {
            volumes->surfaceNames_[file->Device()] = LeafName(name);
            volumes->surface_->AddDevice(
                std::make_shared<KernelDisk>(kernel, name, LeafName(name), std::move(file)));
        }
    }
    volumes->mounts_ = std::make_unique<surface::MountManager>(*volumes->surface_);
    return volumes;
}

void SurfaceVolumes::LetterBound(char letter, const std::u16string& deviceName) {
    // Links that do not name a disk device of the surface stay raw names without a volume.
    PDEVICE_OBJECT device = kernel_.FindDevice(deviceName);
    if (device != nullptr && device->DeviceType == FILE_DEVICE_DISK) {
        const std::string leaf = LeafName(deviceName);
        if (surface_->Find(leaf)) {
            mounts_->Bind(letter, leaf);
        }
    }
}

void SurfaceVolumes::LetterRemoved(char letter) {
    mounts_->Unbind(letter);
}

// The driver's own requests are opaque here; what a completed one may have changed is read from
// the device through the standard requests, as the mount manager looks for a file system.
void SurfaceVolumes::DeviceRequestCompleted(PDEVICE_OBJECT device) {
    const auto name = surfaceNames_.find(device);
    if (name != surfaceNames_.end()) {
        mounts_->MediaChanged(name->second);
    }
}

NTSTATUS SurfaceVolumes::HostPath(char letter, std::string& path) {
    const NTSTATUS status = ToStatus(mounts_->EnsureMounted(letter));
    if (NT_SUCCESS(status)) {
        path = mounts_->MountPath(letter).string();
    }
    return status;
}

NTSTATUS SurfaceVolumes::Lock(char letter, pid_t requester) {
    const auto volume = mounts_->Query(letter);
    return volume ? ToStatus(mounts_->Lock(letter, requester)) : STATUS_SUCCESS;
}

NTSTATUS SurfaceVolumes::Dismount(char letter) {
    const auto volume = mounts_->Query(letter);
    return volume ? ToStatus(mounts_->Dismount(letter)) : STATUS_SUCCESS;
}

NTSTATUS SurfaceVolumes::Unlock(char letter) {
    const auto volume = mounts_->Query(letter);
    return volume ? ToStatus(mounts_->Unlock(letter)) : STATUS_NOT_LOCKED;
}

NTSTATUS SurfaceVolumes::Format(char letter, pid_t requester, const std::string& label,
                                std::string& reason) {
    return ToStatus(mounts_->Format(letter, requester, label, &reason));
}

std::vector<std::string> SurfaceVolumes::Describe() {
    std::vector<std::string> lines;
    for (const std::string& name : surface_->DeviceNames()) {
        const surface::DeviceState state = surface_->KnownState(name);
        lines.push_back(
            "device " + name +
            (state.mediaPresent ? " " + std::to_string(state.length) + " bytes" : " no media"));
    }
    for (char letter = 'a'; letter <= 'z'; ++letter) {
        if (const auto volume = mounts_->Query(letter)) {
            lines.push_back(std::string(1, static_cast<char>(letter - 32)) + ": " + volume->device +
                            (volume->mounted
                                 ? (volume->readOnly ? " mounted read-only" : " mounted")
                                 : " not mounted") +
                            (volume->locked ? ", locked" : ""));
        }
    }
    return lines;
}

}  // namespace hl::daemon
