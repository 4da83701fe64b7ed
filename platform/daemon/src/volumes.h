// What the daemon needs from the volumes on its disk devices: a file system mounted when it
// arrives (or on first use), and the three volume requests. The disk surface implements it; a
// system without one (tests of the session alone) uses NoVolumes.
#pragma once

#include <ntddk.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace hl::daemon {

class Volumes {
public:
    virtual ~Volumes() = default;
    // A letter was bound to a disk device ("\Device\...") or unbound again.
    virtual void LetterBound(char letter, const std::u16string& deviceName) = 0;
    virtual void LetterRemoved(char letter) = 0;
    // A client's request to the device has completed; it may have given the device media, and
    // a volume bound to a letter is mounted as soon as it arrives.
    virtual void DeviceRequestCompleted(PDEVICE_OBJECT device) = 0;
    // The host folder of the file system on `letter`, mounting it first when it is not.
    virtual NTSTATUS HostPath(char letter, std::string& path) = 0;
    virtual NTSTATUS Lock(char letter, pid_t requester) = 0;
    virtual NTSTATUS Dismount(char letter) = 0;
    virtual NTSTATUS Unlock(char letter) = 0;
    // A quick NTFS format of the letter's device, then its new file system mounted; when the
    // format fails, `reason` says why in the formatter's words.
    virtual NTSTATUS Format(char letter, pid_t requester, const std::string& label,
                            std::string& reason) = 0;
    // One line per volume, for status reports.
    virtual std::vector<std::string> Describe() = 0;
};

class NoVolumes : public Volumes {
public:
    void LetterBound(char, const std::u16string&) override {}
    void LetterRemoved(char) override {}
    void DeviceRequestCompleted(PDEVICE_OBJECT) override {}
    NTSTATUS HostPath(char, std::string&) override { return STATUS_UNRECOGNIZED_VOLUME; }
    NTSTATUS Lock(char, pid_t) override { return STATUS_SUCCESS; }
    NTSTATUS Dismount(char) override { return STATUS_SUCCESS; }
    NTSTATUS Unlock(char) override { return STATUS_SUCCESS; }
    NTSTATUS Format(char, pid_t, const std::string&, std::string&) override {
        return STATUS_UNRECOGNIZED_VOLUME;
    }
    std::vector<std::string> Describe() override { return {}; }
};

}  // namespace hl::daemon
