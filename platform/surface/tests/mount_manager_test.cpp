#include "surface/mount_manager.h"

#include <sys/prctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>

#include "memory_device.h"
#include "root_fixture.h"

namespace surface::testing {
namespace {

constexpr std::size_t kVolumeSectors = 32 * 1024 * 1024 / kSectorSize;

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::string ReadText(const fs::path& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), {});
}

bool IsServer(pid_t pid) {
    return kill(pid, 0) == 0;
}

// Whether a child killed by the test has died (its parent, the manager, reaps it later).
bool BecomesZombie(pid_t pid) {
    for (int attempt = 0; attempt < 2000; ++attempt) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line) || line.substr(line.rfind(')') + 2, 1) == "Z") {
            return true;
        }
        usleep(5000);
    }
    return false;
}

class MountManagerTest : public RootFixture {
protected:
    void SetUp() override {
        RootFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        Start();
    }
    void TearDown() override {
        Shutdown();
        CheckNothingLeft();
    }

    void Start() {
        surface_ = std::make_unique<DiskSurface>(given_.empty() ? root_ : given_);
        ASSERT_EQ(surface_->Start(), SurfaceResult::Ok);
        if (!device_) {
            device_ = std::make_shared<MemoryDevice>("VaultDisk0", kVolumeSectors);
        }
        ASSERT_EQ(surface_->AddDevice(device_), SurfaceResult::Ok);
        manager_ = std::make_unique<MountManager>(*surface_);
        ASSERT_EQ(manager_->Bind('X', "VaultDisk0"), VolumeResult::Ok);
    }
    void Shutdown() {
        manager_.reset();
        surface_.reset();
    }
    void FormatX() { ASSERT_EQ(manager_->Format('X', getpid(), "Vault"), VolumeResult::Ok); }
    fs::path OnX(const std::string& name) const { return root_ / "dosdevices" / "x:" / name; }
    bool XMounted() const { return !MountsUnder(root_ / "mnt" / "x").empty(); }
    // The surface learns of a change of media from the daemon, as after a device request.
    void MediaChanged() { ASSERT_EQ(surface_->Refresh("VaultDisk0"), SurfaceResult::Ok); }

    fs::path given_;  // the root as the host names it, when not root_ itself
    std::shared_ptr<MemoryDevice> device_;
    std::unique_ptr<DiskSurface> surface_;
    std::unique_ptr<MountManager> manager_;
};

TEST_F(MountManagerTest, FormattedVolumeKeepsItsFilesAcrossDismountAndRemount) {
    FormatX();
    EXPECT_TRUE(XMounted());
    EXPECT_EQ(fs::read_symlink(root_ / "dosdevices" / "x:"), fs::path("../mnt/x"));
    const auto info = manager_->Query('x');
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->mounted);
    EXPECT_FALSE(info->readOnly);

    fs::create_directory(OnX("Folder"));
    WriteText(OnX("Folder/notes.txt"), "kept on the vault");

    ASSERT_EQ(manager_->Dismount('X'), VolumeResult::Ok);
    EXPECT_FALSE(XMounted());
    EXPECT_FALSE(fs::exists(root_ / "mnt" / "x")) << "the mount point goes with the volume";
    EXPECT_FALSE(fs::exists(OnX("Folder"))) << "nothing reachable on an unmounted letter";
    EXPECT_EQ(surface_->OpenCount("VaultDisk0"), 0) << "ntfs-3g released the surface file";

    ASSERT_EQ(manager_->EnsureMounted('x'), VolumeResult::Ok);
    EXPECT_EQ(ReadText(OnX("Folder/notes.txt")), "kept on the vault");
    EXPECT_EQ(manager_->EnsureMounted('x'), VolumeResult::Ok) << "a mounted volume stays as it is";
}

TEST_F(MountManagerTest, VolumeSurvivesARestartOfSurfaceAndManager) {
    FormatX();
    WriteText(OnX("a.txt"), "across restarts");
    Shutdown();
    EXPECT_TRUE(MountsUnder(root_).empty());
    EXPECT_FALSE(fs::is_symlink(root_ / "dosdevices" / "x:"))
        << "a manager that goes removes its links";
    Start();
    ASSERT_EQ(manager_->EnsureMounted('X'), VolumeResult::Ok);
    EXPECT_EQ(ReadText(OnX("a.txt")), "across restarts");
}

TEST_F(MountManagerTest, DeviceWithoutFileSystemOrMediaStaysUnmounted) {
    EXPECT_EQ(manager_->EnsureMounted('X'), VolumeResult::Raw);
    EXPECT_FALSE(XMounted());
    EXPECT_TRUE(fs::is_symlink(root_ / "dosdevices" / "x:"));
    EXPECT_FALSE(fs::exists(root_ / "dosdevices" / "x:"))
        << "the link of a raw volume leads nowhere";

    FormatX();
    ASSERT_EQ(manager_->Dismount('X'), VolumeResult::Ok);
    device_->noMedia = true;
    MediaChanged();
    EXPECT_EQ(manager_->EnsureMounted('X'), VolumeResult::NoMedia);
    EXPECT_EQ(manager_->Format('X', getpid()), VolumeResult::NoMedia);
    device_->noMedia = false;
    MediaChanged();
    device_->failing = true;
    EXPECT_EQ(manager_->EnsureMounted('X'), VolumeResult::DeviceError);
    device_->failing = false;
    EXPECT_EQ(manager_->EnsureMounted('X'), VolumeResult::Ok);
}

TEST_F(MountManagerTest, VolumeWhoseServerDiedIsMountedAfreshOnNextUse) {
    FormatX();
    WriteText(OnX("survivor.txt"), "still here");
    ASSERT_EQ(manager_->Lock('X', getpid()), VolumeResult::Ok);  // flushed
    ASSERT_EQ(manager_->Unlock('X'), VolumeResult::Ok);
    const auto servers = ProcessesUsing(root_);
    ASSERT_EQ(servers.size(), 1u);
    kill(servers[0], SIGKILL);
    ASSERT_TRUE(BecomesZombie(servers[0]));
    ASSERT_EQ(manager_->EnsureMounted('X'), VolumeResult::Ok);
    EXPECT_EQ(ReadText(OnX("survivor.txt")), "still here");
    EXPECT_EQ(MountsUnder(root_ / "mnt").size(), 1u);
}

TEST_F(MountManagerTest, LettersAreBoundOnceAndUnbindingRemovesTheLink) {
    EXPECT_EQ(manager_->Bind('x', "VaultDisk0"), VolumeResult::AlreadyBound);
    EXPECT_EQ(manager_->Bind('Y', "VaultDisk9"), VolumeResult::DeviceNotFound);
    EXPECT_EQ(manager_->Bind('1', "VaultDisk0"), VolumeResult::InvalidLetter);
    EXPECT_EQ(manager_->EnsureMounted('Q'), VolumeResult::NotBound);
    FormatX();
    ASSERT_EQ(manager_->Unbind('X'), VolumeResult::Ok);
    EXPECT_FALSE(XMounted());
    EXPECT_FALSE(fs::is_symlink(root_ / "dosdevices" / "x:"));
    EXPECT_EQ(manager_->Query('X'), std::nullopt);
    EXPECT_EQ(manager_->Unbind('X'), VolumeResult::NotBound);
}

// As Windows mounts a volume when it arrives: a change of the device's media mounts the file system
// it brings, a letter bound to a device that has one mounts it at once, nothing else is mounted.
TEST_F(MountManagerTest, AFileSystemIsMountedWhenItsMediaArrives) {
    manager_->MediaChanged("VaultDisk0");
    EXPECT_FALSE(XMounted()) << "a device without a file system stays raw";
    FormatX();
    WriteText(OnX("arrived.txt"), "here at once");
    ASSERT_EQ(manager_->Dismount('X'), VolumeResult::Ok);
    device_->noMedia = true;
    manager_->MediaChanged("VaultDisk0");
    EXPECT_FALSE(XMounted());
    device_->noMedia = false;
    manager_->MediaChanged("VaultDisk9");
    EXPECT_FALSE(XMounted()) << "another device's change";
    manager_->MediaChanged("VaultDisk0");
    EXPECT_TRUE(XMounted());
    EXPECT_EQ(ReadText(OnX("arrived.txt")), "here at once");

    // A locked volume that was dismounted stays down.
    ASSERT_EQ(manager_->Lock('X', getpid()), VolumeResult::Ok);
    ASSERT_EQ(manager_->Dismount('X'), VolumeResult::Ok);
    manager_->MediaChanged("VaultDisk0");
    EXPECT_FALSE(XMounted());
    ASSERT_EQ(manager_->Unlock('X'), VolumeResult::Ok);
    ASSERT_EQ(manager_->Unbind('X'), VolumeResult::Ok);

    ASSERT_EQ(manager_->Bind('Z', "VaultDisk0"), VolumeResult::Ok);
    EXPECT_EQ(ReadText(root_ / "dosdevices" / "z:" / "arrived.txt"), "here at once");
    // The one device never gets a second server through another letter.
    ASSERT_EQ(manager_->Bind('Y', "VaultDisk0"), VolumeResult::Ok);
    EXPECT_FALSE(manager_->Query('Y')->mounted);
    EXPECT_EQ(manager_->EnsureMounted('Y'), VolumeResult::InUse);
    EXPECT_EQ(manager_->Format('Y', getpid()), VolumeResult::InUse);
    EXPECT_EQ(MountsUnder(root_ / "mnt").size(), 1u);
    ASSERT_EQ(manager_->Unbind('Y'), VolumeResult::Ok);
    ASSERT_EQ(manager_->Unbind('Z'), VolumeResult::Ok);
}

TEST_F(MountManagerTest, LockFailsWhileAnotherProcessUsesTheVolume) {
    FormatX();
    fs::create_directory(OnX("Work"));
    WriteText(OnX("Work/open.txt"), "x");
    const std::pair<const char*, Hold> uses[] = {{"Work/open.txt", Hold::OpenFile},
                                                 {"Work", Hold::WorkingFolder}};
    for (const auto& [path, how] : uses) {
        SCOPED_TRACE(path);
        Holder holder(OnX(path), how);
        ASSERT_TRUE(holder.Holding());
        EXPECT_EQ(manager_->Lock('X', getpid()), VolumeResult::InUse);
        EXPECT_EQ(manager_->Format('X', getpid()), VolumeResult::InUse);
        EXPECT_EQ(manager_->Lock('X', holder.Pid()), VolumeResult::Ok)
            << "the requester's own use does not count";
        ASSERT_EQ(manager_->Unlock('X'), VolumeResult::Ok);
        holder.Release();
        ASSERT_EQ(manager_->Lock('X', getpid()), VolumeResult::Ok);
        ASSERT_EQ(manager_->Unlock('X'), VolumeResult::Ok);
    }
    EXPECT_EQ(ReadText(OnX("Work/open.txt")), "x") << "a refused format left the volume alone";
}

// /proc shows resolved paths; a root named through a link must still see who uses its volumes.
TEST_F(MountManagerTest, RootNamedThroughALinkStillSeesItsUsers) {
    Shutdown();
    const fs::path link = root_.string() + "-link";
    fs::create_directory_symlink(root_, link);
    given_ = link.string() + "/";
    Start();
    FormatX();
    WriteText(link / "dosdevices" / "x:" / "open.txt", "x");
    {
        Holder holder(link / "dosdevices" / "x:" / "open.txt", Hold::OpenFile);
        ASSERT_TRUE(holder.Holding());
        EXPECT_EQ(manager_->Lock('X', getpid()), VolumeResult::InUse);
    }
    EXPECT_EQ(manager_->Lock('X', getpid()), VolumeResult::Ok);
    Shutdown();
    fs::remove(link);
}

TEST_F(MountManagerTest, LockedVolumeIsFlushedAndStaysDownUntilUnlocked) {
    FormatX();
    const std::string marker = "a sentence that must reach the device before the lock is granted";
    WriteText(OnX("flushed.txt"), marker);
    device_->flushFails = true;
    EXPECT_EQ(manager_->Lock('X', getpid()), VolumeResult::DeviceError)
        << "a volume whose device cannot keep its writes is not locked";
    EXPECT_FALSE(manager_->Query('X')->locked);
    EXPECT_TRUE(fs::exists(OnX("flushed.txt")));
    device_->flushFails = false;
    device_->flushes = 0;
    ASSERT_EQ(manager_->Lock('X', getpid()), VolumeResult::Ok);
    EXPECT_GE(device_->flushes, 1) << "the lock reaches the device's stable storage";
    const auto contents = device_->Contents();
    EXPECT_NE(std::search(contents.begin(), contents.end(), marker.begin(), marker.end()),
              contents.end());
    EXPECT_EQ(manager_->Lock('X', getpid()), VolumeResult::Locked);
    EXPECT_TRUE(manager_->Query('X')->locked);
    EXPECT_FALSE(fs::exists(OnX("flushed.txt"))) << "a locked volume takes no new opens";
    EXPECT_EQ(open(OnX("new.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644), -1);

    ASSERT_EQ(manager_->Unlock('X'), VolumeResult::Ok);
    EXPECT_EQ(ReadText(OnX("flushed.txt")), marker) << "unlocked without a dismount";
    ASSERT_EQ(manager_->Lock('X', getpid()), VolumeResult::Ok);

    ASSERT_EQ(manager_->Dismount('X'), VolumeResult::Ok);
    EXPECT_FALSE(XMounted());
    EXPECT_EQ(manager_->EnsureMounted('X'), VolumeResult::Locked);
    EXPECT_FALSE(XMounted());
    ASSERT_EQ(manager_->Unlock('X'), VolumeResult::Ok);
    EXPECT_EQ(manager_->Unlock('X'), VolumeResult::NotLocked);
    ASSERT_EQ(manager_->EnsureMounted('X'), VolumeResult::Ok);
    EXPECT_EQ(ReadText(OnX("flushed.txt")), marker);
}

TEST_F(MountManagerTest, DismountTakesTheVolumeDownDespiteOpenFiles) {
    FormatX();
    WriteText(OnX("busy.txt"), "held open");
    const pid_t server = ProcessesUsing(root_).at(0);
    Holder file(OnX("busy.txt"), Hold::OpenFile);
    Holder folder(root_ / "mnt" / "x", Hold::WorkingFolder);
    ASSERT_TRUE(file.Holding());
    ASSERT_TRUE(folder.Holding());

    ASSERT_EQ(manager_->Dismount('X'), VolumeResult::Ok);
    EXPECT_FALSE(XMounted());
    EXPECT_FALSE(fs::exists(root_ / "mnt" / "x"));
    EXPECT_FALSE(IsServer(server)) << "ntfs-3g has exited";
    EXPECT_EQ(surface_->OpenCount("VaultDisk0"), 0);
    file.Release();
    folder.Release();

    ASSERT_EQ(manager_->EnsureMounted('X'), VolumeResult::Ok);
    EXPECT_EQ(ReadText(OnX("busy.txt")), "held open");
}

TEST_F(MountManagerTest, WriteProtectedDeviceMountsReadOnly) {
    FormatX();
    WriteText(OnX("existing.txt"), "readable");
    ASSERT_EQ(manager_->Dismount('X'), VolumeResult::Ok);
    device_->writeProtected = true;
    MediaChanged();
    EXPECT_EQ(manager_->Format('X', getpid()), VolumeResult::WriteProtected);
    ASSERT_EQ(manager_->EnsureMounted('X'), VolumeResult::Ok);
    EXPECT_TRUE(manager_->Query('X')->readOnly);
    EXPECT_EQ(ReadText(OnX("existing.txt")), "readable");
    EXPECT_EQ(open(OnX("new.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644), -1);
    EXPECT_EQ(errno, EROFS);
}

// The owner dies with SIGKILL while its volume is mounted: the next start cleans up after it.
TEST_F(MountManagerTest, StartCleansUpTheMountsOfAKilledOwner) {
    Shutdown();
    // The orphaned ntfs-3g becomes our child, so that the cleanup can reap it.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t owner = fork();
    if (owner == 0) {
        close(ready[0]);
        auto device = std::make_shared<MemoryDevice>("VaultDisk0", kVolumeSectors);
        DiskSurface surface(root_);
        char answer = 0;
        if (surface.Start() == SurfaceResult::Ok &&
            surface.AddDevice(device) == SurfaceResult::Ok) {
            MountManager manager(surface);
            if (manager.Bind('X', "VaultDisk0") == VolumeResult::Ok &&
                manager.Format('X', getpid()) == VolumeResult::Ok) {
                WriteText(OnX("written.txt"), "before the kill");
                answer = manager.Lock('X', getpid()) == VolumeResult::Ok ? 1 : 0;
            }
            (void)!write(ready[1], &answer, 1);
            for (;;) {
                pause();
            }
        }
        (void)!write(ready[1], &answer, 1);
        _exit(1);
    }
    close(ready[1]);
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    close(ready[0]);
    kill(owner, SIGKILL);
    waitpid(owner, nullptr, 0);
    ASSERT_EQ(answer, 1);
    ASSERT_EQ(MountsUnder(root_).size(), 3u)
        << "the dead surface, the orphaned volume and its lock";

    device_.reset();
    Start();
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    EXPECT_EQ(MountsUnder(root_), std::vector<std::string>{(root_ / "dev").string()});
    EXPECT_TRUE(ProcessesUsing(root_).empty()) << "the orphaned ntfs-3g is gone";
    FormatX();
    WriteText(OnX("after.txt"), "works again");
    EXPECT_EQ(ReadText(OnX("after.txt")), "works again");
}

}  // namespace
}  // namespace surface::testing
