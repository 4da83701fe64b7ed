#include "kernel_session.h"

#include <unistd.h>

#include <algorithm>

#include "kernel/text.h"
#include "system_daemon.h"

namespace hl::daemon {
namespace {

constexpr std::uint32_t kLockVolume = 0x00090018;
constexpr std::uint32_t kUnlockVolume = 0x0009001C;
constexpr std::uint32_t kDismountVolume = 0x00090020;

bool IsVolumeRequest(std::uint32_t code) {
    return code == kLockVolume || code == kUnlockVolume || code == kDismountVolume;
}

protocol::TransferReply FromIo(const hl::kernel::IoResult& io, protocol::Bytes data = {}) {
    protocol::TransferReply reply;
    reply.status = io.status;
    reply.information = io.information;
    reply.data = std::move(data);
    return reply;
}

protocol::TransferReply Failure(NTSTATUS status) {
    protocol::TransferReply reply;
    reply.status = status;
    return reply;
}

}  // namespace

KernelSession::KernelSession(SystemDaemon& daemon, const PeerIdentity& peer)
    : daemon_(daemon), peer_(peer) {
    caller_.uid = peer.uid;
    caller_.gid = peer.gid;
    caller_.groups = peer.groups;
}

KernelSession::~KernelSession() {
    hl::kernel::ScopedCaller as(caller_);
    for (auto& [handle, file] : files_) {
        ReleaseLock(file);
    }
    files_.clear();
}

// As on Windows, a volume lock lasts no longer than the handle that took it.
void KernelSession::ReleaseLock(OpenFile& file) {
    if (file.holdsLock) {
        file.holdsLock = false;
        daemon_.volumes().Unlock(file.letter);
    }
}

bool KernelSession::Handle(std::uint16_t type, std::span<const std::uint8_t> body,
                           protocol::Bytes& reply) {
    hl::kernel::ScopedCaller as(caller_);
    return protocol::Dispatch(type, body, *this, reply);
}

KernelSession::OpenFile* KernelSession::Find(std::uint32_t handle) {
    const auto found = files_.find(handle);
    return found == files_.end() ? nullptr : &found->second;
}

protocol::HelloReply KernelSession::Hello(const protocol::HelloRequest&) {
    return {STATUS_SUCCESS, static_cast<std::uint32_t>(::getpid())};
}

protocol::OpenDeviceReply KernelSession::OpenDevice(const protocol::OpenDeviceRequest& in) {
    OpenFile file;
    file.letter = SystemDaemon::DriveLetterOf(in.ntName);
    if (file.letter == 0 || !daemon_.IsHostDrive(file.letter)) {
        const NTSTATUS status = daemon_.kernel().OpenDevice(in.ntName, in.access, file.device);
        if (!NT_SUCCESS(status)) {
            return {status, 0};
        }
    }
    const std::uint32_t handle = nextHandle_++;
    files_.emplace(handle, std::move(file));
    return {STATUS_SUCCESS, handle};
}

protocol::StatusReply KernelSession::CloseHandle(const protocol::CloseHandleRequest& in) {
    OpenFile* file = Find(in.handle);
    if (file == nullptr) {
        return {STATUS_INVALID_HANDLE};
    }
    ReleaseLock(*file);
    files_.erase(in.handle);
    return {STATUS_SUCCESS};
}

protocol::TransferReply KernelSession::VolumeRequest(OpenFile& file, std::uint32_t code) {
    if (file.letter == 0) {
        return Failure(STATUS_INVALID_DEVICE_REQUEST);
    }
    if (!file.device) {
        // The system's own drive is always in use.
        return Failure(code == kLockVolume ? STATUS_ACCESS_DENIED : STATUS_NOT_LOCKED);
    }
    // Only a handle opened for data access may take the volume down, as file systems demand.
    if ((file.device->GrantedAccess() & (FILE_READ_DATA | FILE_WRITE_DATA)) == 0) {
        return Failure(STATUS_ACCESS_DENIED);
    }
    Volumes& volumes = daemon_.volumes();
    switch (code) {
        case kLockVolume: {
            const NTSTATUS status = volumes.Lock(file.letter, peer_.pid);
            file.holdsLock = file.holdsLock || NT_SUCCESS(status);
            return Failure(status);
        }
        case kDismountVolume:
            return Failure(volumes.Dismount(file.letter));
        default: {
            const NTSTATUS status = volumes.Unlock(file.letter);
            file.holdsLock = file.holdsLock && !NT_SUCCESS(status);
            return Failure(status);
        }
    }
}

protocol::TransferReply KernelSession::DeviceControl(const protocol::DeviceControlRequest& in) {
    OpenFile* file = Find(in.handle);
    if (file == nullptr) {
        return Failure(STATUS_INVALID_HANDLE);
    }
    if (IsVolumeRequest(in.code)) {
        return VolumeRequest(*file, in.code);
    }
    if (!file->device) {
        return Failure(STATUS_INVALID_DEVICE_REQUEST);
    }
    if (in.outputLength > protocol::kMaxControlBytes) {
        return Failure(STATUS_INVALID_PARAMETER);
    }
    protocol::Bytes output(in.outputLength);
    const hl::kernel::IoResult io = file->device->DeviceControl(
        in.code, in.input.empty() ? nullptr : in.input.data(), static_cast<ULONG>(in.input.size()),
        output.empty() ? nullptr : output.data(), in.outputLength);
    output.resize(std::min<std::size_t>(output.size(), NT_ERROR(io.status) ? 0 : io.information));
    if (NT_SUCCESS(io.status)) {
        // Before the reply: when the caller's request returns, its volume is there for the host.
        daemon_.volumes().DeviceRequestCompleted(file->device->Device());
    }
    return FromIo(io, std::move(output));
}

protocol::TransferReply KernelSession::ReadDevice(const protocol::ReadDeviceRequest& in) {
    OpenFile* file = Find(in.handle);
    if (file == nullptr || !file->device) {
        return Failure(file == nullptr ? STATUS_INVALID_HANDLE : STATUS_INVALID_DEVICE_REQUEST);
    }
    if (in.length > protocol::kMaxTransferBytes) {
        return Failure(STATUS_INVALID_PARAMETER);
    }
    protocol::Bytes data(in.length);
    const hl::kernel::IoResult io = file->device->Read(data.data(), in.length, in.offset);
    data.resize(NT_SUCCESS(io.status) ? std::min<std::size_t>(io.information, data.size()) : 0);
    return FromIo(io, std::move(data));
}

protocol::TransferReply KernelSession::WriteDevice(const protocol::WriteDeviceRequest& in) {
    OpenFile* file = Find(in.handle);
    if (file == nullptr || !file->device) {
        return Failure(file == nullptr ? STATUS_INVALID_HANDLE : STATUS_INVALID_DEVICE_REQUEST);
    }
    return FromIo(
        file->device->Write(in.data.data(), static_cast<ULONG>(in.data.size()), in.offset));
}

protocol::StatusReply KernelSession::DefineDosDevice(const protocol::DefineDosDeviceRequest& in) {
    return {daemon_.DefineDosDevice(peer_.uid, in.flags, in.deviceName, in.targetPath)};
}

protocol::NamesReply KernelSession::QueryDosDevice(const protocol::QueryDosDeviceRequest& in) {
    protocol::NamesReply reply;
    reply.status = daemon_.QueryDosDevice(in.deviceName, reply.names);
    return reply;
}

protocol::VolumePathReply KernelSession::VolumePath(const protocol::VolumePathRequest& in) {
    const char letter = SystemDaemon::DriveLetterOf(u"\\??\\" + in.drive);
    protocol::VolumePathReply reply;
    if (letter == 0) {
        reply.status = STATUS_OBJECT_NAME_INVALID;
    } else if (daemon_.IsHostDrive(letter)) {
        std::vector<std::u16string> ignored;
        reply.status = STATUS_SUCCESS;
        reply.hostPath =
            (daemon_.root() / "dosdevices" / std::string{static_cast<char>(letter | 0x20), ':'})
                .string();
    } else {
        std::vector<std::u16string> targets;
        reply.status = daemon_.QueryDosDevice(in.drive, targets);
        if (NT_SUCCESS(reply.status)) {
            reply.status = daemon_.volumes().HostPath(letter, reply.hostPath);
        }
    }
    return reply;
}

protocol::FormatVolumeReply KernelSession::FormatVolume(const protocol::FormatVolumeRequest& in) {
    const char letter = SystemDaemon::DriveLetterOf(u"\\??\\" + in.drive);
    if (letter == 0) {
        return {STATUS_OBJECT_NAME_INVALID, {}};
    }
    if (daemon_.IsHostDrive(letter)) {
        return {STATUS_ACCESS_DENIED, {}};  // the system's own drive is never formatted
    }
    // Formatting writes the whole volume: the caller must be allowed to open it for that.
    std::unique_ptr<hl::kernel::DeviceFile> volume;
    const NTSTATUS status =
        daemon_.kernel().OpenDevice(u"\\??\\" + in.drive, GENERIC_READ | GENERIC_WRITE, volume);
    if (status == STATUS_ACCESS_DENIED) {
        return {status, {}};
    }
    volume.reset();
    protocol::FormatVolumeReply reply;
    reply.status = daemon_.volumes().Format(letter, peer_.pid, in.label, reply.reason);
    return reply;
}

protocol::SystemStatusReply KernelSession::SystemStatus(const protocol::Empty&) {
    return {STATUS_SUCCESS, daemon_.Status()};
}

protocol::StatusReply KernelSession::Shutdown(const protocol::Empty&) {
    if (peer_.uid != 0) {
        return {STATUS_ACCESS_DENIED};
    }
    daemon_.RequestStop();
    return {STATUS_SUCCESS};
}

}  // namespace hl::daemon
