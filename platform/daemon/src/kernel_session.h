// One client's session with the kernel: its open devices, answered as the client's identity.
#pragma once

#include <map>
#include <memory>

#include "kernel/kernel.h"
#include "protocol/messages.h"
#include "server.h"

namespace hl::daemon {

class SystemDaemon;

class KernelSession : public Session {
public:
    KernelSession(SystemDaemon& daemon, const PeerIdentity& peer);
    ~KernelSession() override;  // closes what the client left open

    bool Handle(std::uint16_t type, std::span<const std::uint8_t> body,
                protocol::Bytes& reply) override;

    // One member per request of the protocol.
    protocol::HelloReply Hello(const protocol::HelloRequest& in);
    protocol::OpenDeviceReply OpenDevice(const protocol::OpenDeviceRequest& in);
    protocol::StatusReply CloseHandle(const protocol::CloseHandleRequest& in);
    protocol::TransferReply DeviceControl(const protocol::DeviceControlRequest& in);
    protocol::TransferReply ReadDevice(const protocol::ReadDeviceRequest& in);
    protocol::TransferReply WriteDevice(const protocol::WriteDeviceRequest& in);
    protocol::StatusReply DefineDosDevice(const protocol::DefineDosDeviceRequest& in);
    protocol::NamesReply QueryDosDevice(const protocol::QueryDosDeviceRequest& in);
    protocol::VolumePathReply VolumePath(const protocol::VolumePathRequest& in);
    protocol::SystemStatusReply SystemStatus(const protocol::Empty& in);
    protocol::StatusReply Shutdown(const protocol::Empty& in);
    protocol::FormatVolumeReply FormatVolume(const protocol::FormatVolumeRequest& in);

private:
    // A handle: a device of the kernel, or the volume of a host drive (which serves nothing).
    struct OpenFile {
        std::unique_ptr<hl::kernel::DeviceFile> device;
        char letter = 0;         // the drive it was opened through, for the volume requests
        bool holdsLock = false;  // its lock of the volume ends with the handle
    };
    OpenFile* Find(std::uint32_t handle);
    void ReleaseLock(OpenFile& file);
    protocol::TransferReply VolumeRequest(OpenFile& file, std::uint32_t code);

    SystemDaemon& daemon_;
    PeerIdentity peer_;
    hl::kernel::CallerIdentity caller_;
    std::map<std::uint32_t, OpenFile> files_;
    std::uint32_t nextHandle_ = 1;
};

}  // namespace hl::daemon
