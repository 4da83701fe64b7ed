// Zw file services over host files: NT paths resolved through the namespace to host folders,
// components matched without regard to case, NT dispositions, sharing and statuses.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "hostfs/hostfs.h"
#include "kernel/text.h"
#include "system.h"

namespace hl::kernel {

namespace {

// File attributes on host drives live in this extended attribute, as "0x<hex>".
constexpr const char* kAttributesXattr = "user.DOSATTRIB";
constexpr ULONG kSectorSize = 512;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600LL;

NTSTATUS FromErrno(int error) {
    return hostfs::StatusFromErrno(error);
}

bool ValidComponent(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u"..") {
        return false;
    }
    for (char16_t c : name) {
        if (c < 0x20 || c == u'/' || c == u'<' || c == u'>' || c == u':' || c == u'"' ||
            c == u'|' || c == u'?' || c == u'*' || c == u'\\') {
            return false;
        }
    }
    return true;
}

std::vector<std::u16string_view> Components(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    while (!path.empty()) {
        auto cut = path.find(u'\\');
        parts.push_back(path.substr(0, cut));
        if (cut == std::u16string_view::npos) {
            break;
        }
        path.remove_prefix(cut + 1);
        if (path.empty()) {
            parts.emplace_back();  // an empty last component: rejected by the caller
        }
    }
    return parts;
}

// The entry of `folder` named `name`, exactly or else without regard to case.
NTSTATUS FindEntry(const std::string& folder, std::u16string_view name, std::string& entry,
                   bool& found) {
    const int error = hostfs::FindEntry(folder, name, entry, found);
    if (error == ENOENT || error == ENOTDIR) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    return error == 0 ? STATUS_SUCCESS : FromErrno(error);
}

struct HostTarget {
    std::string path;
    bool exists = false;
    bool trailingSeparator = false;
    struct stat st {};
};

NTSTATUS WalkHost(const std::string& root, std::u16string_view remaining, HostTarget& out) {
    std::string current = root;
    auto parts = Components(remaining);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (!ValidComponent(parts[i])) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        std::string entry;
        bool found = false;
        NTSTATUS status = FindEntry(current, parts[i], entry, found);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        current += "/" + entry;
        const bool last = i + 1 == parts.size();
        if (!last) {
            struct stat st {};
            if (!found) {
                return STATUS_OBJECT_PATH_NOT_FOUND;
            }
            if (stat(current.c_str(), &st) != 0) {
                return errno == EACCES ? STATUS_ACCESS_DENIED : STATUS_OBJECT_PATH_NOT_FOUND;
            }
            if (!S_ISDIR(st.st_mode)) {
                return STATUS_OBJECT_PATH_NOT_FOUND;
            }
        }
        if (last) {
            out.exists = found && stat(current.c_str(), &out.st) == 0;
        }
    }
    if (parts.empty()) {
        out.exists = stat(current.c_str(), &out.st) == 0;
        if (!out.exists) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
    }
    out.path = current;
    return STATUS_SUCCESS;
}

NTSTATUS ResolveShare(ShareTable& table, std::u16string_view remaining, std::string& root,
                      std::u16string_view& rest) {
    auto cut = remaining.find(u'\\');
    std::u16string_view server = remaining.substr(0, cut);
    if (server.empty() || cut == std::u16string_view::npos) {
        return STATUS_BAD_NETWORK_PATH;
    }
    std::u16string_view afterServer = remaining.substr(cut + 1);
    auto cut2 = afterServer.find(u'\\');
    std::u16string_view share = afterServer.substr(0, cut2);
    rest = cut2 == std::u16string_view::npos ? std::u16string_view{} : afterServer.substr(cut2 + 1);
    std::lock_guard guard(table.lock);
    auto found = table.shares.find(Upcase(std::u16string(server) + u"\\" + std::u16string(share)));
    if (found == table.shares.end()) {
        const std::u16string prefix = Upcase(std::u16string(server) + u"\\");
        for (auto& [key, folder] : table.shares) {
            if (key.starts_with(prefix)) {
                return STATUS_BAD_NETWORK_NAME;
            }
        }
        return STATUS_BAD_NETWORK_PATH;
    }
    root = found->second.string();
    return STATUS_SUCCESS;
}

// Resolves a name (absolute, or relative to an open folder) to a host file.
NTSTATUS ResolveTarget(const Ref<Object>& rootObject, std::u16string_view name, HostTarget& out) {
    if (rootObject) {
        if (rootObject->kind() != ObjectKind::File ||
            !static_cast<FileObj*>(rootObject.get())->isDirectory) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        return WalkHost(static_cast<FileObj*>(rootObject.get())->hostPath, name, out);
    }
    Lookup found;
    NTSTATUS status = Sys().objects.Resolve(name, true, found);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::string root;
    std::u16string_view rest = found.remaining;
    switch (found.object->kind()) {
        case ObjectKind::HostFolder:
            root = static_cast<HostFolder*>(found.object.get())->root.string();
            break;
        case ObjectKind::ShareTable:
            status = ResolveShare(*static_cast<ShareTable*>(found.object.get()), found.remaining,
                                  root, rest);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            break;
        default:
            return STATUS_OBJECT_TYPE_MISMATCH;
    }
    std::u16string path(rest);
    out.trailingSeparator = !path.empty() && path.back() == u'\\';
    if (out.trailingSeparator) {
        path.pop_back();
    }
    return WalkHost(root, path, out);
}

// ---------------------------------------------------------------------------------------------
// Attributes and times

std::optional<ULONG> StoredAttributes(const FileObj& file) {
    char text[32] = {};
    ssize_t length = file.fd >= 0
                         ? fgetxattr(file.fd, kAttributesXattr, text, sizeof text - 1)
                         : getxattr(file.hostPath.c_str(), kAttributesXattr, text, sizeof text - 1);
    if (length <= 0) {
        return std::nullopt;
    }
    return static_cast<ULONG>(std::strtoul(text, nullptr, 16));
}

ULONG ReportedAttributes(const FileObj& file) {
    ULONG attributes =
        StoredAttributes(file).value_or(file.isDirectory ? 0 : FILE_ATTRIBUTE_ARCHIVE);
    attributes &= FILE_ATTRIBUTE_VALID_SET_FLAGS & ~FILE_ATTRIBUTE_NORMAL;
    if (file.isDirectory) {
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    }
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

NTSTATUS StoreAttributes(const FileObj& file, ULONG attributes) {
    attributes &= FILE_ATTRIBUTE_VALID_SET_FLAGS & ~FILE_ATTRIBUTE_NORMAL;
    char text[32];
    int length = std::snprintf(text, sizeof text, "0x%x", attributes);
    int result = file.fd >= 0
                     ? fsetxattr(file.fd, kAttributesXattr, text, static_cast<size_t>(length), 0)
                     : setxattr(file.hostPath.c_str(), kAttributesXattr, text,
                                static_cast<size_t>(length), 0);
    if (result == 0) {
        return STATUS_SUCCESS;
    }
    if (errno == ENOTSUP && attributes == (file.isDirectory ? 0u : FILE_ATTRIBUTE_ARCHIVE)) {
        return STATUS_SUCCESS;  // what the folder reports anyway
    }
    return errno == ENOTSUP ? STATUS_NOT_SUPPORTED : FromErrno(errno);
}

LONGLONG NtTime(const statx_timestamp& t) {
    return UnixToNtTime(t.tv_sec, t.tv_nsec);
}

timespec UnixTime(LONGLONG ntTime) {
    const LONGLONG units = ntTime - kSecondsFrom1601To1970 * 10'000'000LL;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(units / 10'000'000LL);
    ts.tv_nsec = static_cast<long>((units % 10'000'000LL) * 100);
    if (ts.tv_nsec < 0) {
        ts.tv_nsec += 1'000'000'000L;
        ts.tv_sec -= 1;
    }
    return ts;
}

NTSTATUS StatFile(const FileObj& file, struct statx& info) {
    int result =
        file.fd >= 0
            ? statx(file.fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &info)
            : statx(AT_FDCWD, file.hostPath.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &info);
    return result == 0 ? STATUS_SUCCESS : FromErrno(errno);
}

Ref<FileObj> FileFromHandle(HANDLE handle, NTSTATUS& status, ACCESS_MASK* granted = nullptr) {
    HandleEntry entry;
    status = Sys().objects.ReferenceHandle(handle, entry);
    if (!NT_SUCCESS(status)) {
        return {};
    }
    Ref<FileObj> file = As<FileObj>(entry.object, ObjectKind::File);
    if (!file) {
        status = STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (granted) {
        *granted = entry.granted;
    }
    return file;
}

bool WantsFilePointer(const LARGE_INTEGER* offset) {
    return !offset ||
           (offset->u.HighPart == -1 && offset->u.LowPart == FILE_USE_FILE_POINTER_POSITION);
}

// Where a transfer starts; STATUS_SUCCESS or why it cannot.
NTSTATUS TransferOffset(FileObj& file, const LARGE_INTEGER* offset, ULONG length, bool write,
                        LONGLONG& at) {
    const bool synchronous =
        file.options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
    const bool appendOnly =
        write && (file.granted & FILE_APPEND_DATA) && !(file.granted & FILE_WRITE_DATA);
    const bool toEnd = write && offset && offset->u.HighPart == -1 &&
                       offset->u.LowPart == FILE_WRITE_TO_END_OF_FILE;
    if (appendOnly || toEnd) {
        struct stat st {};
        if (fstat(file.fd, &st) != 0) {
            return FromErrno(errno);
        }
        at = st.st_size;
    } else if (WantsFilePointer(offset)) {
        if (!synchronous) {
            return STATUS_INVALID_PARAMETER;
        }
        std::lock_guard guard(file.positionLock);
        at = file.position;
    } else {
        at = offset->QuadPart;
    }
    if (at < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((file.options & FILE_NO_INTERMEDIATE_BUFFERING) &&
        (at % kSectorSize != 0 || length % kSectorSize != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

void AdvancePosition(FileObj& file, LONGLONG at, ULONG_PTR moved) {
    if (file.options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) {
        std::lock_guard guard(file.positionLock);
        file.position = at + static_cast<LONGLONG>(moved);
    }
}

NTSTATUS CheckCreateParameters(ACCESS_MASK desired, ACCESS_MASK granted, ULONG disposition,
                               ULONG options) {
    if (disposition > FILE_MAXIMUM_DISPOSITION || (options & ~FILE_VALID_OPTION_FLAGS)) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE)) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((options & FILE_DIRECTORY_FILE) && disposition != FILE_CREATE && disposition != FILE_OPEN &&
        disposition != FILE_OPEN_IF) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG synchronous = options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
    if (synchronous == (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT) ||
        (synchronous && !(granted & SYNCHRONIZE))) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((options & FILE_NO_INTERMEDIATE_BUFFERING) && (desired & FILE_APPEND_DATA)) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((options & FILE_DELETE_ON_CLOSE) && !(granted & DELETE)) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

int OpenFlags(ACCESS_MASK granted, bool directory, bool truncating) {
    if (directory) {
        return O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    }
    const bool read = granted & (FILE_READ_DATA | FILE_EXECUTE);
    const bool write = truncating || (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA));
    int flags = read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    return flags | O_CLOEXEC;
}

struct CreateRequest {
    ACCESS_MASK desired = 0;
    ACCESS_MASK granted = 0;
    ULONG attributes = 0;
    ULONG share = 0;
    ULONG disposition = 0;
    ULONG options = 0;
    LONGLONG allocation = 0;
};

NTSTATUS OpenExisting(const HostTarget& target, const CreateRequest& request, Ref<FileObj>& file,
                      ULONG_PTR& information) {
    const bool directory = S_ISDIR(target.st.st_mode);
    information = FILE_EXISTS;
    if (request.disposition == FILE_CREATE) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (directory && (request.options & FILE_NON_DIRECTORY_FILE)) {
        return STATUS_FILE_IS_A_DIRECTORY;
    }
    if (!directory && (request.options & FILE_DIRECTORY_FILE)) {
        return STATUS_NOT_A_DIRECTORY;
    }
    if (!directory && target.trailingSeparator) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    const bool overwrite = request.disposition == FILE_OVERWRITE ||
                           request.disposition == FILE_OVERWRITE_IF ||
                           request.disposition == FILE_SUPERSEDE;
    if (directory && overwrite) {
        return STATUS_FILE_IS_A_DIRECTORY;
    }
    file = MakeObject<FileObj>();
    file->hostPath = target.path;
    file->isDirectory = directory;
    file->granted = request.granted;
    file->shareAccess = request.share;
    file->options = request.options;
    file->fd = open(target.path.c_str(), OpenFlags(request.granted, directory, overwrite));
    const bool wantsData =
        request.granted & (FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_EXECUTE);
    if (file->fd < 0 && errno == EACCES && !wantsData && !overwrite) {
        file->fd = open(target.path.c_str(), O_PATH | O_CLOEXEC);
    }
    if (file->fd < 0) {
        information = 0;
        return FromErrno(errno);
    }
    struct stat st {};
    fstat(file->fd, &st);
    file->dev = st.st_dev;
    file->ino = st.st_ino;
    const ULONG current = ReportedAttributes(*file);
    const bool writing = request.granted & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE);
    if ((current & FILE_ATTRIBUTE_READONLY) && !directory && (writing || overwrite)) {
        return STATUS_ACCESS_DENIED;
    }
    if (overwrite &&
        (current & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) & ~request.attributes) {
        return STATUS_ACCESS_DENIED;
    }
    NTSTATUS status = Sys().fileShares.Check(file->dev, file->ino, request.granted, request.share,
                                             file->shareCounted);
    if (!NT_SUCCESS(status)) {
        information = 0;
        return status;
    }
    if (overwrite) {
        if (ftruncate(file->fd, 0) != 0) {
            return FromErrno(errno);
        }
        StoreAttributes(*file, request.attributes | FILE_ATTRIBUTE_ARCHIVE);
        information = request.disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
    } else {
        information = FILE_OPENED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CreateNew(const HostTarget& target, const CreateRequest& request, Ref<FileObj>& file,
                   ULONG_PTR& information) {
    information = FILE_DOES_NOT_EXIST;
    if (request.disposition == FILE_OPEN || request.disposition == FILE_OVERWRITE) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const bool directory = request.options & FILE_DIRECTORY_FILE;
    if (target.trailingSeparator && !directory) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    file = MakeObject<FileObj>();
    file->hostPath = target.path;
    file->isDirectory = directory;
    file->granted = request.granted;
    file->shareAccess = request.share;
    file->options = request.options;
    if (directory) {
        if (mkdir(target.path.c_str(), 0777) != 0) {
            information = 0;
            return FromErrno(errno);
        }
        file->fd = open(target.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else {
        file->fd = open(target.path.c_str(),
                        OpenFlags(request.granted, false, false) | O_CREAT | O_EXCL, 0600);
    }
    if (file->fd < 0) {
        information = 0;
        return FromErrno(errno);
    }
    struct stat st {};
    fstat(file->fd, &st);
    file->dev = st.st_dev;
    file->ino = st.st_ino;
    if (!directory && request.allocation > 0 &&
        fallocate(file->fd, FALLOC_FL_KEEP_SIZE, 0, request.allocation) != 0 &&
        (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)) {
        unlink(target.path.c_str());
        information = 0;
        return STATUS_DISK_FULL;
    }
    StoreAttributes(*file, request.attributes | (directory ? 0 : FILE_ATTRIBUTE_ARCHIVE));
    Sys().fileShares.Check(file->dev, file->ino, request.granted, request.share,
                           file->shareCounted);
    information = FILE_CREATED;
    return STATUS_SUCCESS;
}

// Information classes as the I/O manager keeps them: one row per class with the size of its
// record and the one routine that fills (or applies) it. A query reports the record's size.

NTSTATUS QueryBasic(FileObj& file, void* buffer, ULONG_PTR& information) {
    if (!(file.granted & FILE_READ_ATTRIBUTES)) {
        return STATUS_ACCESS_DENIED;
    }
    struct statx info {};
    if (NTSTATUS status = StatFile(file, info); !NT_SUCCESS(status)) {
        return status;
    }
    auto* basic = static_cast<PFILE_BASIC_INFORMATION>(buffer);
    basic->CreationTime.QuadPart =
        NtTime((info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_mtime);
    basic->LastAccessTime.QuadPart = NtTime(info.stx_atime);
    basic->LastWriteTime.QuadPart = NtTime(info.stx_mtime);
    basic->ChangeTime.QuadPart = NtTime(info.stx_ctime);
    basic->FileAttributes = ReportedAttributes(file);
    information = sizeof(FILE_BASIC_INFORMATION);
    return STATUS_SUCCESS;
}

NTSTATUS QueryStandard(FileObj& file, void* buffer, ULONG_PTR& information) {
    struct statx info {};
    if (NTSTATUS status = StatFile(file, info); !NT_SUCCESS(status)) {
        return status;
    }
    auto* standard = static_cast<PFILE_STANDARD_INFORMATION>(buffer);
    standard->AllocationSize.QuadPart = static_cast<LONGLONG>(info.stx_blocks) * 512;
    standard->EndOfFile.QuadPart = file.isDirectory ? 0 : static_cast<LONGLONG>(info.stx_size);
    standard->NumberOfLinks = info.stx_nlink;
    standard->DeletePending = file.deleteOnClose;
    standard->Directory = file.isDirectory;
    information = sizeof(FILE_STANDARD_INFORMATION);
    return STATUS_SUCCESS;
}

NTSTATUS QueryPosition(FileObj& file, void* buffer, ULONG_PTR& information) {
    std::lock_guard guard(file.positionLock);
    static_cast<PFILE_POSITION_INFORMATION>(buffer)->CurrentByteOffset.QuadPart = file.position;
    information = sizeof(FILE_POSITION_INFORMATION);
    return STATUS_SUCCESS;
}

NTSTATUS QueryAlignment(FileObj&, void* buffer, ULONG_PTR& information) {
    static_cast<PFILE_ALIGNMENT_INFORMATION>(buffer)->AlignmentRequirement = FILE_BYTE_ALIGNMENT;
    information = sizeof(FILE_ALIGNMENT_INFORMATION);
    return STATUS_SUCCESS;
}

NTSTATUS SetBasic(FileObj& file, void* buffer, ULONG_PTR&) {
    if (!(file.granted & FILE_WRITE_ATTRIBUTES)) {
        return STATUS_ACCESS_DENIED;
    }
    auto* basic = static_cast<PFILE_BASIC_INFORMATION>(buffer);
    auto time = [](const LARGE_INTEGER& value) {
        timespec ts{};
        ts.tv_nsec = UTIME_OMIT;
        return (value.QuadPart == 0 || value.QuadPart == -1) ? ts : UnixTime(value.QuadPart);
    };
    timespec times[2] = {time(basic->LastAccessTime), time(basic->LastWriteTime)};
    if (times[0].tv_nsec != UTIME_OMIT || times[1].tv_nsec != UTIME_OMIT) {
        int result = file.fd >= 0 && !(fcntl(file.fd, F_GETFL) & O_PATH)
                         ? futimens(file.fd, times)
                         : utimensat(AT_FDCWD, file.hostPath.c_str(), times, 0);
        if (result != 0) {
            return FromErrno(errno);
        }
    }
    if (basic->FileAttributes != 0) {
        return StoreAttributes(file, basic->FileAttributes);
    }
    return STATUS_SUCCESS;
}

NTSTATUS SetEndOfFile(FileObj& file, void* buffer, ULONG_PTR&) {
    if (!(file.granted & FILE_WRITE_DATA) || file.isDirectory) {
        return file.isDirectory ? STATUS_INVALID_PARAMETER : STATUS_ACCESS_DENIED;
    }
    const LONGLONG end = static_cast<PFILE_END_OF_FILE_INFORMATION>(buffer)->EndOfFile.QuadPart;
    if (end < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return ftruncate(file.fd, end) == 0 ? STATUS_SUCCESS : FromErrno(errno);
}

NTSTATUS SetPosition(FileObj& file, void* buffer, ULONG_PTR&) {
    const LONGLONG at = static_cast<PFILE_POSITION_INFORMATION>(buffer)->CurrentByteOffset.QuadPart;
    if (at < 0 || ((file.options & FILE_NO_INTERMEDIATE_BUFFERING) && at % kSectorSize != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard guard(file.positionLock);
    file.position = at;
    return STATUS_SUCCESS;
}

NTSTATUS SetDisposition(FileObj& file, void* buffer, ULONG_PTR&) {
    if (!(file.granted & DELETE)) {
        return STATUS_ACCESS_DENIED;
    }
    const bool remove = static_cast<PFILE_DISPOSITION_INFORMATION>(buffer)->DeleteFile;
    if (remove && (ReportedAttributes(file) & FILE_ATTRIBUTE_READONLY)) {
        return STATUS_CANNOT_DELETE;
    }
    if (remove && file.isDirectory) {
        std::error_code error;
        if (!std::filesystem::is_empty(file.hostPath, error)) {
            return STATUS_DIRECTORY_NOT_EMPTY;
        }
    }
    file.deleteOnClose = remove;
    return STATUS_SUCCESS;
}

struct InformationClass {
    FILE_INFORMATION_CLASS infoClass;
    ULONG size;
    NTSTATUS (*run)(FileObj& file, void* buffer, ULONG_PTR& information);
};

constexpr InformationClass kQueryClasses[] = {
    {FileBasicInformation, sizeof(FILE_BASIC_INFORMATION), QueryBasic},
    {FileStandardInformation, sizeof(FILE_STANDARD_INFORMATION), QueryStandard},
    {FilePositionInformation, sizeof(FILE_POSITION_INFORMATION), QueryPosition},
    {FileAlignmentInformation, sizeof(FILE_ALIGNMENT_INFORMATION), QueryAlignment},
};

constexpr InformationClass kSetClasses[] = {
    {FileBasicInformation, sizeof(FILE_BASIC_INFORMATION), SetBasic},
    {FileEndOfFileInformation, sizeof(FILE_END_OF_FILE_INFORMATION), SetEndOfFile},
    {FilePositionInformation, sizeof(FILE_POSITION_INFORMATION), SetPosition},
    {FileDispositionInformation, sizeof(FILE_DISPOSITION_INFORMATION), SetDisposition},
};

template <std::size_t N>
NTSTATUS RunInformation(const InformationClass (&classes)[N], HANDLE handle,
                        PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                        FILE_INFORMATION_CLASS infoClass) {
    if (!ioStatus || !buffer) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status;
    Ref<FileObj> file = FileFromHandle(handle, status);
    if (!file) {
        return status;
    }
    const InformationClass* entry = nullptr;
    for (const InformationClass& candidate : classes) {
        if (candidate.infoClass == infoClass) {
            entry = &candidate;
        }
    }
    if (entry == nullptr) {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (length < entry->size) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    ULONG_PTR information = 0;
    if (status = entry->run(*file, buffer, information); !NT_SUCCESS(status)) {
        return status;
    }
    ioStatus->Status = STATUS_SUCCESS;
    ioStatus->Information = information;
    return STATUS_SUCCESS;
}

}  // namespace

FileObj::~FileObj() {
    if (shareCounted) {
        Sys().fileShares.Remove(dev, ino, granted, shareAccess);
    }
    if (deleteOnClose) {
        (isDirectory ? rmdir : unlink)(hostPath.c_str());
    }
    if (fd >= 0) {
        close(fd);
    }
}

NTSTATUS FileShares::Check(dev_t dev, ino_t ino, ACCESS_MASK access, ULONG share, bool& counted) {
    counted = false;
    const bool read = access & (FILE_READ_DATA | FILE_EXECUTE);
    const bool write = access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    const bool remove = access & DELETE;
    if (!read && !write && !remove) {
        return STATUS_SUCCESS;  // attribute-only opens take no part in sharing
    }
    const bool sharedRead = share & FILE_SHARE_READ;
    const bool sharedWrite = share & FILE_SHARE_WRITE;
    const bool sharedDelete = share & FILE_SHARE_DELETE;
    std::lock_guard guard(lock_);
    State& s = states_[{dev, ino}];
    if ((read && s.sharedRead != s.openCount) || (write && s.sharedWrite != s.openCount) ||
        (remove && s.sharedDelete != s.openCount) || (s.readers && !sharedRead) ||
        (s.writers && !sharedWrite) || (s.deleters && !sharedDelete)) {
        if (s.openCount == 0) {
            states_.erase({dev, ino});
        }
        return STATUS_SHARING_VIOLATION;
    }
    s.openCount++;
    s.readers += read;
    s.writers += write;
    s.deleters += remove;
    s.sharedRead += sharedRead;
    s.sharedWrite += sharedWrite;
    s.sharedDelete += sharedDelete;
    counted = true;
    return STATUS_SUCCESS;
}

void FileShares::Remove(dev_t dev, ino_t ino, ACCESS_MASK access, ULONG share) {
    std::lock_guard guard(lock_);
    auto found = states_.find({dev, ino});
    if (found == states_.end()) {
        return;
    }
    State& s = found->second;
    s.openCount--;
    s.readers -= (access & (FILE_READ_DATA | FILE_EXECUTE)) ? 1 : 0;
    s.writers -= (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) ? 1 : 0;
    s.deleters -= (access & DELETE) ? 1 : 0;
    s.sharedRead -= (share & FILE_SHARE_READ) ? 1 : 0;
    s.sharedWrite -= (share & FILE_SHARE_WRITE) ? 1 : 0;
    s.sharedDelete -= (share & FILE_SHARE_DELETE) ? 1 : 0;
    if (s.openCount == 0) {
        states_.erase(found);
    }
}

NTSTATUS ResolveHostPath(std::u16string_view ntPath, std::filesystem::path& hostPath) {
    HostTarget target;
    NTSTATUS status = ResolveTarget({}, ntPath, target);
    if (NT_SUCCESS(status)) {
        hostPath = target.path;
    }
    return status;
}

}  // namespace hl::kernel

using namespace hl::kernel;

extern "C" {

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength) {
    if (!FileHandle || !IoStatusBlock || !ObjectAttributes || (EaBuffer && EaLength)) {
        return STATUS_INVALID_PARAMETER;
    }
    *FileHandle = nullptr;
    CreateRequest request;
    request.desired = DesiredAccess;
    request.granted = MapFileAccess(DesiredAccess);
    request.attributes = FileAttributes & FILE_ATTRIBUTE_VALID_FLAGS & ~FILE_ATTRIBUTE_DIRECTORY;
    request.share = ShareAccess & FILE_SHARE_VALID_FLAGS;
    request.disposition = CreateDisposition;
    request.options = CreateOptions;
    request.allocation = AllocationSize ? AllocationSize->QuadPart : 0;
    NTSTATUS status =
        CheckCreateParameters(DesiredAccess, request.granted, CreateDisposition, CreateOptions);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Thread* thread = Sys().threads.Current();
    {
        std::lock_guard guard(thread->lock);
        if (thread->impersonationBroken) {
            return STATUS_ACCESS_DENIED;
        }
        if (thread->impersonation && thread->impersonation->level < SecurityImpersonation) {
            return STATUS_BAD_IMPERSONATION_LEVEL;
        }
    }
    Ref<hl::kernel::Object> root;
    std::u16string name;
    status = Sys().objects.NameFrom(ObjectAttributes, root, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HostTarget target;
    status = ResolveTarget(root, name, target);
    if (!NT_SUCCESS(status)) {
        IoStatusBlock->Status = status;
        IoStatusBlock->Information = 0;
        return status;
    }
    Ref<FileObj> file;
    ULONG_PTR information = 0;
    status = target.exists ? OpenExisting(target, request, file, information)
                           : CreateNew(target, request, file, information);
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = information;
    if (!NT_SUCCESS(status)) {
        return status;
    }
    file->deleteOnClose = CreateOptions & FILE_DELETE_ON_CLOSE;
    return Sys().objects.CreateHandle(file.get(), request.granted, *FileHandle);
}

NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                    ULONG ShareAccess, ULONG OpenOptions) {
    return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0,
                        ShareAccess, FILE_OPEN, OpenOptions, nullptr, 0);
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                    PLARGE_INTEGER ByteOffset, PULONG Key) {
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(Key);
    if (Event || ApcRoutine) {
        return STATUS_NOT_IMPLEMENTED;  // every transfer completes before the call returns
    }
    if (!IoStatusBlock || (Length && !Buffer)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status;
    Ref<FileObj> file = FileFromHandle(FileHandle, status);
    if (!file) {
        return status;
    }
    if (file->isDirectory) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!(file->granted & FILE_READ_DATA)) {
        return STATUS_ACCESS_DENIED;
    }
    LONGLONG at = 0;
    status = TransferOffset(*file, ByteOffset, Length, false, at);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    IoStatusBlock->Information = 0;
    if (Sys().faults.fileRead.ShouldFail()) {
        IoStatusBlock->Status = Sys().faults.fileRead.Status();
        return IoStatusBlock->Status;
    }
    ULONG_PTR done = 0;
    status = STATUS_SUCCESS;
    while (done < Length) {
        ssize_t got = pread(file->fd, static_cast<char*>(Buffer) + done, Length - done,
                            at + static_cast<LONGLONG>(done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            status = FromErrno(errno);
            break;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<ULONG_PTR>(got);
    }
    if (NT_SUCCESS(status) && done == 0 && Length > 0) {
        status = STATUS_END_OF_FILE;
    }
    AdvancePosition(*file, at, done);
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = done;
    return status;
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER ByteOffset, PULONG Key) {
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(Key);
    if (Event || ApcRoutine) {
        return STATUS_NOT_IMPLEMENTED;
    }
    if (!IoStatusBlock || (Length && !Buffer)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status;
    Ref<FileObj> file = FileFromHandle(FileHandle, status);
    if (!file) {
        return status;
    }
    if (file->isDirectory) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!(file->granted & (FILE_WRITE_DATA | FILE_APPEND_DATA))) {
        return STATUS_ACCESS_DENIED;
    }
    LONGLONG at = 0;
    status = TransferOffset(*file, ByteOffset, Length, true, at);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    IoStatusBlock->Information = 0;
    if (Sys().faults.fileWrite.ShouldFail()) {
        IoStatusBlock->Status = Sys().faults.fileWrite.Status();
        return IoStatusBlock->Status;
    }
    ULONG_PTR done = 0;
    status = STATUS_SUCCESS;
    while (done < Length) {
        ssize_t put = pwrite(file->fd, static_cast<const char*>(Buffer) + done, Length - done,
                             at + static_cast<LONGLONG>(done));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            status = FromErrno(errno);
            break;
        }
        done += static_cast<ULONG_PTR>(put);
    }
    AdvancePosition(*file, at, done);
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = done;
    return status;
}

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                PVOID FileInformation, ULONG Length,
                                FILE_INFORMATION_CLASS FileInformationClass) {
    return RunInformation(kQueryClasses, FileHandle, IoStatusBlock, FileInformation, Length,
                          FileInformationClass);
}

NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                              PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass) {
    return RunInformation(kSetClasses, FileHandle, IoStatusBlock, FileInformation, Length,
                          FileInformationClass);
}

NTSTATUS ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
    if (!IoStatusBlock) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status;
    Ref<FileObj> file = FileFromHandle(FileHandle, status);
    if (!file) {
        return status;
    }
    if (!(file->granted & (FILE_WRITE_DATA | FILE_APPEND_DATA))) {
        return STATUS_ACCESS_DENIED;
    }
    if (Sys().faults.fileFlush.ShouldFail()) {
        IoStatusBlock->Status = Sys().faults.fileFlush.Status();
        IoStatusBlock->Information = 0;
        return IoStatusBlock->Status;
    }
    // Only the file's data must reach the disk; its times may follow later.
    if (fdatasync(file->fd) != 0) {
        return FromErrno(errno);
    }
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = 0;
    return STATUS_SUCCESS;
}

}  // extern "C"
