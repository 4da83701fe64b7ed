#define FUSE_USE_VERSION 35

#include "surface/disk_surface.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>

#include "host.h"

namespace surface {

int ErrnoOf(IoResult result) {
    switch (result) {
        case IoResult::Ok:
            return 0;
        case IoResult::NoMedia:
            return ENOMEDIUM;
        case IoResult::WriteProtected:
            return EROFS;
        case IoResult::InvalidRange:
            return EINVAL;
        case IoResult::DeviceError:
        case IoResult::MediaChanged:
            break;
    }
    return EIO;
}

namespace {

namespace fs = std::filesystem;

// Requests of up to this size pass to the device in one piece.
constexpr unsigned kMaxTransfer = 1024 * 1024;
constexpr int kWorkers = 4;

struct Entry {
    std::string name;
    fuse_ino_t ino = 0;
    std::shared_ptr<BlockDevice> device;
    // Shared by reads and whole-sector writes, exclusive for a read-modify-write and for removal.
    std::shared_mutex io;
    bool removed = false;  // guarded by io
    std::atomic<int> opens{0};

    // What was last learned of the device. One query at a time, so the last answer stays.
    std::mutex learning;
    mutable std::mutex stateMutex;
    DeviceState state;

    DeviceState Known() const {
        std::lock_guard lock(stateMutex);
        return state;
    }
    void Learn() {
        std::lock_guard serial(learning);
        const DeviceState learned = device->State();
        std::lock_guard lock(stateMutex);
        state = learned;
    }
};

// A request that meets these learns the device's state anew and is tried once more.
bool MediaMayHaveChanged(IoResult result) {
    return result == IoResult::NoMedia || result == IoResult::MediaChanged;
}

struct Handle {
    std::shared_ptr<Entry> entry;
};

std::uint64_t SectorFloor(std::uint64_t value) {
    return value / kSectorSize * kSectorSize;
}
std::uint64_t SectorCeil(std::uint64_t value) {
    return SectorFloor(value + kSectorSize - 1);
}

}  // namespace

struct DiskSurface::State {
    fs::path root;
    mutable std::mutex mutex;
    std::map<std::string, std::shared_ptr<Entry>, std::less<>> byName;
    std::map<fuse_ino_t, std::shared_ptr<Entry>> byIno;
    fuse_ino_t nextIno = FUSE_ROOT_ID + 1;

    fuse_session* session = nullptr;
    std::vector<std::thread> workers;
    std::atomic<pid_t> stopper{0};  // the thread in Stop; FUSE names the calling thread
    std::atomic<int> running{0};
    int rootFd = -1;  // our mount's root, reachable even when someone detached the mount
    // Open files; those the kernel never released (the connection ended) go with the session.
    std::mutex handlesMutex;
    std::map<Handle*, std::unique_ptr<Handle>> handles;

    Handle* Adopt(std::shared_ptr<Entry> entry) {
        ++entry->opens;
        auto handle = std::make_unique<Handle>(Handle{std::move(entry)});
        Handle* raw = handle.get();
        std::lock_guard lock(handlesMutex);
        handles.emplace(raw, std::move(handle));
        return raw;
    }
    void Drop(Handle* handle) {
        --handle->entry->opens;
        std::lock_guard lock(handlesMutex);
        handles.erase(handle);
    }
    void DropAll() {
        std::lock_guard lock(handlesMutex);
        for (const auto& [raw, handle] : handles) {
            --handle->entry->opens;
        }
        handles.clear();
    }

    std::shared_ptr<Entry> Lookup(fuse_ino_t ino) const {
        std::lock_guard lock(mutex);
        const auto found = byIno.find(ino);
        return found == byIno.end() ? nullptr : found->second;
    }
    std::shared_ptr<Entry> Lookup(std::string_view name) const {
        std::lock_guard lock(mutex);
        const auto found = byName.find(name);
        return found == byName.end() ? nullptr : found->second;
    }
};

namespace {

using SurfaceState = DiskSurface::State;

SurfaceState& StateOf(fuse_req_t request) {
    return *static_cast<SurfaceState*>(fuse_req_userdata(request));
}
Entry& EntryOf(fuse_file_info* info) {
    return *reinterpret_cast<Handle*>(info->fh)->entry;
}

struct stat RootAttributes() {
    struct stat attributes {};
    attributes.st_ino = FUSE_ROOT_ID;
    attributes.st_mode = S_IFDIR | 0755;
    attributes.st_nlink = 2;
    return attributes;
}

// A disk without media is an empty file: opening works, I/O fails with ENOMEDIUM.
struct stat DeviceAttributes(const Entry& entry) {
    const DeviceState state = entry.Known();
    struct stat attributes {};
    attributes.st_ino = entry.ino;
    attributes.st_mode = S_IFREG | 0600;
    attributes.st_uid = state.ownerUid;
    attributes.st_gid = state.ownerGid;
    attributes.st_nlink = 1;
    attributes.st_size = state.mediaPresent ? static_cast<off_t>(state.length) : 0;
    attributes.st_blksize = kSectorSize;
    attributes.st_blocks = attributes.st_size / 512;
    return attributes;
}

void OnInit(void*, fuse_conn_info* connection) {
    connection->max_write = kMaxTransfer;
    connection->max_read = kMaxTransfer;  // must repeat the max_read mount option
    connection->max_background = 64;
    if (connection->capable & FUSE_CAP_ASYNC_DIO) {
        connection->want |= FUSE_CAP_ASYNC_DIO;
    }
}

// Stop wakes each worker with a lookup of this name, from its own process; a worker that answers
// one finishes.
constexpr const char* kStopName = ".hl-surface-stop";
thread_local bool t_stopRequested = false;

bool IsStopRequest(fuse_req_t request, const char* name) {
    return std::strcmp(name, kStopName) == 0 && StateOf(request).stopper != 0 &&
           fuse_req_ctx(request)->pid == StateOf(request).stopper;
}

void OnLookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
    if (parent == FUSE_ROOT_ID && IsStopRequest(request, name)) {
        // Counted off before the answer: Stop must not wait for a worker that will not read again.
        --StateOf(request).running;
        t_stopRequested = true;
        fuse_reply_err(request, ENOENT);
        return;
    }
    const auto entry =
        parent == FUSE_ROOT_ID ? StateOf(request).Lookup(std::string_view(name)) : nullptr;
    if (!entry) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    fuse_entry_param param{};
    param.ino = entry->ino;
    param.attr = DeviceAttributes(*entry);
    // Sizes change with the media, so the kernel asks every time.
    param.attr_timeout = 0;
    param.entry_timeout = 0;
    fuse_reply_entry(request, &param);
}

void OnGetAttr(fuse_req_t request, fuse_ino_t ino, fuse_file_info*) {
    if (ino == FUSE_ROOT_ID) {
        const auto attributes = RootAttributes();
        fuse_reply_attr(request, &attributes, 0);
        return;
    }
    const auto entry = StateOf(request).Lookup(ino);
    if (!entry) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    const auto attributes = DeviceAttributes(*entry);
    fuse_reply_attr(request, &attributes, 0);
}

// A disk keeps its size; other attribute changes are accepted and forgotten.
void OnSetAttr(fuse_req_t request, fuse_ino_t ino, struct stat* wanted, int fields,
               fuse_file_info* info) {
    if (ino == FUSE_ROOT_ID) {
        fuse_reply_err(request, EPERM);
        return;
    }
    const auto entry = StateOf(request).Lookup(ino);
    if (!entry) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    const auto attributes = DeviceAttributes(*entry);
    if ((fields & FUSE_SET_ATTR_SIZE) && wanted->st_size != attributes.st_size) {
        fuse_reply_err(request, EINVAL);
        return;
    }
    (void)info;
    fuse_reply_attr(request, &attributes, 0);
}

void OnReadDir(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    if (ino != FUSE_ROOT_ID) {
        fuse_reply_err(request, ENOTDIR);
        return;
    }
    std::vector<std::pair<std::string, fuse_ino_t>> names{{".", FUSE_ROOT_ID},
                                                          {"..", FUSE_ROOT_ID}};
    {
        auto& state = StateOf(request);
        std::lock_guard lock(state.mutex);
        for (const auto& [name, entry] : state.byName) {
            names.emplace_back(name, entry->ino);
        }
    }
    std::vector<char> buffer(size);
    std::size_t used = 0;
    for (auto index = static_cast<std::size_t>(offset); index < names.size(); ++index) {
        struct stat attributes {};
        attributes.st_ino = names[index].second;
        attributes.st_mode = index < 2 ? S_IFDIR : S_IFREG;
        const std::size_t needed = fuse_add_direntry(request, buffer.data() + used, size - used,
                                                     names[index].first.c_str(), &attributes,
                                                     static_cast<off_t>(index + 1));
        if (needed > size - used) {
            break;
        }
        used += needed;
    }
    fuse_reply_buf(request, buffer.data(), used);
}

void OnOpen(fuse_req_t request, fuse_ino_t ino, fuse_file_info* info) {
    auto entry = StateOf(request).Lookup(ino);
    if (!entry) {
        fuse_reply_err(request, ino == FUSE_ROOT_ID ? EISDIR : ENOENT);
        return;
    }
    auto& state = StateOf(request);
    info->fh = reinterpret_cast<std::uint64_t>(state.Adopt(std::move(entry)));
    // Callers (ntfs-3g, mkntfs) cache for themselves; the page cache would only delay writes.
    info->direct_io = 1;
    info->keep_cache = 0;
    if (fuse_reply_open(request, info) != 0) {
        state.Drop(reinterpret_cast<Handle*>(info->fh));
    }
}

void OnRelease(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
    StateOf(request).Drop(reinterpret_cast<Handle*>(info->fh));
    fuse_reply_err(request, 0);
}

void OnFlush(fuse_req_t request, fuse_ino_t, fuse_file_info*) {
    fuse_reply_err(request, 0);
}

// Takes every completed write to the device's stable storage (its container file's disk).
void OnFsync(fuse_req_t request, fuse_ino_t, int, fuse_file_info* info) {
    Entry& entry = EntryOf(info);
    std::shared_lock lock(entry.io);
    if (entry.removed) {
        fuse_reply_err(request, ENXIO);
        return;
    }
    const IoResult result = entry.device->Flush();
    if (MediaMayHaveChanged(result)) {
        entry.Learn();  // the writes went to media that is gone: nothing to try again
    }
    fuse_reply_err(request, ErrnoOf(result));
}

// The error of a device that cannot take I/O now, or 0 with its state. A file opened before the
// device changed hands serves only its new owner (and root): another user mounting a disk on
// this device must not find its sectors readable through a file kept open since.
int Unavailable(fuse_req_t request, Entry& entry, DeviceState& state) {
    if (entry.removed) {
        return ENXIO;
    }
    state = entry.Known();
    if (!state.mediaPresent) {
        return ENOMEDIUM;
    }
    const uid_t requester = fuse_req_ctx(request)->uid;
    return requester == 0 || requester == state.ownerUid ? 0 : EACCES;
}

// A request is served by the state last learned; one that meets a change of media learns the
// new state and, when the device still serves the requester, is tried once more against it.
// `attempt` replies itself when it is done, or hands back the device's failure.
template <typename Attempt>
void ServeByKnownState(fuse_req_t request, Entry& entry, Attempt attempt) {
    for (int tries = 0;; ++tries) {
        DeviceState state;
        if (const int error = Unavailable(request, entry, state)) {
            fuse_reply_err(request, error);
            return;
        }
        const std::optional<IoResult> failure = attempt(state);
        if (!failure) {
            return;
        }
        if (MediaMayHaveChanged(*failure) && tries == 0) {
            entry.Learn();
            continue;
        }
        fuse_reply_err(request, ErrnoOf(*failure));
        return;
    }
}

void OnRead(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
    Entry& entry = EntryOf(info);
    std::shared_lock lock(entry.io);
    const auto start = static_cast<std::uint64_t>(offset);
    ServeByKnownState(request, entry, [&](const DeviceState& state) -> std::optional<IoResult> {
        if (start >= state.length) {
            fuse_reply_buf(request, nullptr, 0);
            return std::nullopt;
        }
        const std::uint64_t length = std::min<std::uint64_t>(size, state.length - start);
        const std::uint64_t first = SectorFloor(start);
        const std::uint64_t span = SectorCeil(start + length) - first;
        auto buffer = std::make_unique_for_overwrite<char[]>(span);
        const IoResult result = entry.device->ReadSectors(first, buffer.get(), span);
        if (result != IoResult::Ok) {
            return result;
        }
        fuse_reply_buf(request, buffer.get() + (start - first), length);
        return std::nullopt;
    });
}

// Whole sectors go straight to the device; a partial sector is read, patched and written back while
// no other write can touch it.
IoResult WriteRange(Entry& entry, std::uint64_t start, const char* data, std::uint64_t length) {
    if (start % kSectorSize == 0 && length % kSectorSize == 0) {
        return entry.device->WriteSectors(start, data, length);
    }
    const std::uint64_t first = SectorFloor(start);
    const std::uint64_t last = SectorCeil(start + length);  // one past
    auto buffer = std::make_unique_for_overwrite<char[]>(last - first);
    if (start != first) {
        if (const auto result = entry.device->ReadSectors(first, buffer.get(), kSectorSize);
            result != IoResult::Ok) {
            return result;
        }
    }
    const bool tailPartial = (start + length) % kSectorSize != 0;
    const bool tailIsHead = last - kSectorSize == first && start != first;
    if (tailPartial && !tailIsHead) {
        const auto result = entry.device->ReadSectors(
            last - kSectorSize, buffer.get() + (last - kSectorSize - first), kSectorSize);
        if (result != IoResult::Ok) {
            return result;
        }
    }
    std::memcpy(buffer.get() + (start - first), data, length);
    return entry.device->WriteSectors(first, buffer.get(), last - first);
}

void OnWrite(fuse_req_t request, fuse_ino_t, const char* data, size_t size, off_t offset,
             fuse_file_info* info) {
    Entry& entry = EntryOf(info);
    const auto start = static_cast<std::uint64_t>(offset);
    const bool aligned = start % kSectorSize == 0 && size % kSectorSize == 0;
    std::shared_lock shared(entry.io, std::defer_lock);
    std::unique_lock exclusive(entry.io, std::defer_lock);
    if (aligned) {
        shared.lock();
    } else {
        exclusive.lock();
    }
    ServeByKnownState(request, entry, [&](const DeviceState& state) -> std::optional<IoResult> {
        if (state.writeProtected) {
            fuse_reply_err(request, EROFS);
            return std::nullopt;
        }
        if (start >= state.length) {
            fuse_reply_err(request, size == 0 ? 0 : ENOSPC);
            return std::nullopt;
        }
        const std::uint64_t length = std::min<std::uint64_t>(size, state.length - start);
        const IoResult result = WriteRange(entry, start, data, length);
        if (result != IoResult::Ok) {
            return result;
        }
        fuse_reply_write(request, length);
        return std::nullopt;
    });
}

const fuse_lowlevel_ops kOperations = [] {
    fuse_lowlevel_ops operations{};
    operations.init = OnInit;
    operations.lookup = OnLookup;
    operations.getattr = OnGetAttr;
    operations.setattr = OnSetAttr;
    operations.readdir = OnReadDir;
    operations.open = OnOpen;
    operations.release = OnRelease;
    operations.flush = OnFlush;
    operations.fsync = OnFsync;
    operations.read = OnRead;
    operations.write = OnWrite;
    return operations;
}();

// Each worker owns a request buffer and blocks in the read, so that a request wakes one worker.
void Work(SurfaceState* state) {
    fuse_buf buffer{};
    t_stopRequested = false;
    while (!t_stopRequested) {
        const int received = fuse_session_receive_buf(state->session, &buffer);
        if (received == -EINTR || received == -EAGAIN) {
            continue;
        }
        if (received <= 0) {
            --state->running;  // unmounted or aborted
            break;
        }
        fuse_session_process_buf(state->session, &buffer);
    }
    std::free(buffer.mem);
}

bool ValidName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.size() < 256 &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

bool IsNtfsServer(const std::vector<std::string>& command) {
    if (command.empty()) {
        return false;
    }
    const auto program = fs::path(command[0]).filename().string();
    return program == "ntfs-3g" || program == "lowntfs-3g" || program.starts_with("mount.ntfs");
}

}  // namespace

StaleMounts FindStaleMounts(const fs::path& root) {
    const fs::path base = host::Canonical(root);
    const std::string surface = (base / "dev").string() + "/";
    StaleMounts stale;
    for (const pid_t pid : host::Processes()) {
        const auto command = host::CommandLine(pid);
        const bool servesOurSurface =
            std::any_of(command.begin(), command.end(),
                        [&](const std::string& arg) { return arg.starts_with(surface); });
        if (IsNtfsServer(command) && servesOurSurface) {
            stale.servers.push_back(pid);
        }
    }
    if (host::IsMountPoint(base / "dev")) {
        stale.mountPoints.push_back((base / "dev").string());
    }
    for (const auto& point : host::MountPointsUnder(base / "mnt")) {
        stale.mountPoints.push_back(point);
    }
    return stale;
}

bool CleanStaleMounts(const fs::path& root) {
    const fs::path base = host::Canonical(root);
    for (const pid_t pid : FindStaleMounts(root).servers) {
        kill(pid, SIGKILL);
        host::WaitGone(pid, std::chrono::seconds(10));
    }
    // A locked volume has a second file system stacked on its mount point.
    for (const auto& point : host::MountPointsUnder(base / "mnt")) {
        for (int layer = 0; layer < 8 && host::IsMountPoint(point); ++layer) {
            umount2(point.c_str(), MNT_DETACH);
        }
    }
    if (host::IsMountPoint(base / "dev")) {
        umount2((base / "dev").c_str(), MNT_DETACH);
    }
    std::error_code error;
    for (const auto& folder : fs::directory_iterator(base / "mnt", error)) {
        rmdir(folder.path().c_str());  // only empty mount points go
    }
    return host::MountPointsUnder(base / "mnt").empty() && !host::IsMountPoint(base / "dev");
}

DiskSurface::DiskSurface(fs::path root) : state_(std::make_unique<State>()) {
    state_->root = host::Canonical(root);  // as /proc and mountinfo show it
}

DiskSurface::~DiskSurface() {
    Stop();
}

const fs::path& DiskSurface::Root() const {
    return state_->root;
}

fs::path DiskSurface::DevicePath(std::string_view name) const {
    return state_->root / "dev" / std::string(name);
}

bool DiskSurface::Running() const {
    return state_->session != nullptr;
}

SurfaceResult DiskSurface::Start() {
    if (state_->session) {
        return SurfaceResult::AlreadyRunning;
    }
    std::error_code error;
    fs::create_directories(state_->root / "mnt", error);
    CleanStaleMounts(state_->root);
    fs::create_directories(state_->root / "dev", error);

    const std::string maxRead = "max_read=" + std::to_string(kMaxTransfer);
    // Root serves the files, mode 0600 is enforced by the kernel: the deciphered sectors stay
    // root's.
    const char* argv[] = {"hlsurface", "-o", maxRead.c_str(), "-o",
                          "fsname=hlsurface,subtype=hlsurface,allow_other,default_permissions"};
    fuse_args args = FUSE_ARGS_INIT(5, const_cast<char**>(argv));
    fuse_session* session = fuse_session_new(&args, &kOperations, sizeof kOperations, state_.get());
    fuse_opt_free_args(&args);
    if (!session) {
        return SurfaceResult::MountFailed;
    }
    const fs::path mountPoint = state_->root / "dev";
    if (fuse_session_mount(session, mountPoint.c_str()) != 0) {
        fuse_session_destroy(session);
        return SurfaceResult::MountFailed;
    }
    state_->session = session;
    for (int i = 0; i < kWorkers; ++i) {
        ++state_->running;
        state_->workers.emplace_back(Work, state_.get());
    }
    state_->rootFd = open(mountPoint.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (state_->rootFd < 0) {
        Stop();
        return SurfaceResult::MountFailed;
    }
    return SurfaceResult::Ok;
}

void DiskSurface::Stop() {
    if (!state_->session) {
        return;
    }
    state_->stopper = gettid();
    while (state_->running > 0 && state_->rootFd >= 0) {
        struct stat ignored {};
        fstatat(state_->rootFd, kStopName, &ignored, 0);
    }
    for (auto& worker : state_->workers) {
        worker.join();
    }
    state_->workers.clear();
    close(state_->rootFd);
    state_->rootFd = -1;
    fuse_session_unmount(state_->session);
    const fs::path mountPoint = state_->root / "dev";
    if (host::IsMountPoint(mountPoint)) {
        umount2(mountPoint.c_str(), MNT_DETACH);  // a connection that was aborted under us
    }
    fuse_session_destroy(state_->session);
    state_->session = nullptr;
    state_->DropAll();
    state_->stopper = 0;
}

SurfaceResult DiskSurface::AddDevice(std::shared_ptr<BlockDevice> device) {
    const std::string name = device ? device->Name() : std::string();
    if (!ValidName(name)) {
        return SurfaceResult::InvalidName;
    }
    auto entry = std::make_shared<Entry>();
    entry->name = name;
    entry->device = std::move(device);
    entry->Learn();  // before the file appears, and without holding up the others
    std::lock_guard lock(state_->mutex);
    if (state_->byName.contains(name)) {
        return SurfaceResult::NameInUse;
    }
    entry->ino = state_->nextIno++;
    state_->byIno.emplace(entry->ino, entry);
    state_->byName.emplace(name, std::move(entry));
    return SurfaceResult::Ok;
}

SurfaceResult DiskSurface::RemoveDevice(std::string_view name) {
    std::shared_ptr<Entry> entry;
    {
        std::lock_guard lock(state_->mutex);
        const auto found = state_->byName.find(name);
        if (found == state_->byName.end()) {
            return SurfaceResult::NotFound;
        }
        entry = found->second;
        state_->byIno.erase(entry->ino);
        state_->byName.erase(found);
    }
    std::unique_lock io(entry->io);
    entry->removed = true;
    return SurfaceResult::Ok;
}

std::shared_ptr<BlockDevice> DiskSurface::Find(std::string_view name) const {
    const auto entry = state_->Lookup(name);
    return entry ? entry->device : nullptr;
}

SurfaceResult DiskSurface::Refresh(std::string_view name) {
    const auto entry = state_->Lookup(name);
    if (!entry) {
        return SurfaceResult::NotFound;
    }
    entry->Learn();
    return SurfaceResult::Ok;
}

DeviceState DiskSurface::KnownState(std::string_view name) const {
    const auto entry = state_->Lookup(name);
    return entry ? entry->Known() : DeviceState{};
}

std::vector<std::string> DiskSurface::DeviceNames() const {
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> names;
    for (const auto& [name, entry] : state_->byName) {
        names.push_back(name);
    }
    return names;
}

int DiskSurface::OpenCount(std::string_view name) const {
    const auto entry = state_->Lookup(name);
    return entry ? entry->opens.load() : 0;
}

}  // namespace surface
