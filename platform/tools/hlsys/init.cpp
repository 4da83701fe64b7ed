// hlsys init DIR [--user NAME] [--version 5.1|5.0]: a fresh system root. Drive C: with the
// folders of a Windows XP installation and of the user's profile, the DOS device for C:, the
// hives with the values Windows keeps about itself and the user, and the environment of the
// user's session in run/environment.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "commands.h"
#include "registry/store.h"
#include "text/text.h"

namespace hlsys {
namespace {

namespace fs = std::filesystem;
using registry::KeyPath;
using registry::Root;

struct Release {
    const char* version;
    const char* build;
    const char* servicePack;
    const char* product;
};

constexpr Release kReleases[] = {
    {"5.1", "2600", "Service Pack 2", "Microsoft Windows XP"},
    {"5.0", "2195", "Service Pack 4", "Microsoft Windows 2000"},
};

struct Options {
    fs::path dir;
    std::string user;
    uid_t uid = 0;
    gid_t gid = 0;
    const Release* release = &kReleases[0];
};

// The parts of a system root; a folder holding any of them already holds a system.
constexpr const char* kParts[] = {"drive_c", "dosdevices", "registry", "run", "dev", "mnt"};

// The folders of a profile, below "Documents and Settings\<name>".
constexpr const char* kProfileFolders[] = {
    "Desktop",
    "Favorites",
    "My Documents\\My Music",
    "My Documents\\My Pictures",
    "Start Menu\\Programs\\Startup",
    "Application Data",
    "Cookies",
    "NetHood",
    "PrintHood",
    "Recent",
    "SendTo",
    "Templates",
    "Local Settings\\Application Data",
    "Local Settings\\Temp",
    "Local Settings\\History",
    "Local Settings\\Temporary Internet Files",
};

constexpr const char* kAllUsersFolders[] = {
    "Desktop",
    "Favorites",
    "Documents\\My Music",
    "Documents\\My Pictures",
    "Start Menu\\Programs\\Startup",
    "Application Data",
    "Templates",
};

// A user's shell folders: the value name and the folder below the profile.
constexpr std::pair<const char*, const char*> kShellFolders[] = {
    {"AppData", "Application Data"},
    {"Cache", "Local Settings\\Temporary Internet Files"},
    {"Cookies", "Cookies"},
    {"Desktop", "Desktop"},
    {"Favorites", "Favorites"},
    {"History", "Local Settings\\History"},
    {"Local AppData", "Local Settings\\Application Data"},
    {"Local Settings", "Local Settings"},
    {"My Music", "My Documents\\My Music"},
    {"My Pictures", "My Documents\\My Pictures"},
    {"NetHood", "NetHood"},
    {"Personal", "My Documents"},
    {"PrintHood", "PrintHood"},
    {"Programs", "Start Menu\\Programs"},
    {"Recent", "Recent"},
    {"SendTo", "SendTo"},
    {"Start Menu", "Start Menu"},
    {"Startup", "Start Menu\\Programs\\Startup"},
    {"Templates", "Templates"},
};

constexpr std::pair<const char*, const char*> kCommonShellFolders[] = {
    {"Common AppData", "Application Data"},
    {"Common Desktop", "Desktop"},
    {"Common Documents", "Documents"},
    {"Common Favorites", "Favorites"},
    {"Common Programs", "Start Menu\\Programs"},
    {"Common Start Menu", "Start Menu"},
    {"Common Startup", "Start Menu\\Programs\\Startup"},
    {"Common Templates", "Templates"},
    {"CommonMusic", "Documents\\My Music"},
    {"CommonPictures", "Documents\\My Pictures"},
};

constexpr const char* kWindows = "C:\\WINDOWS";
constexpr const char* kProfiles = "C:\\Documents and Settings";
constexpr const char* kShellFoldersKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr const char* kUserShellFoldersKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// A host path below drive C: for a Windows path below "C:\".
fs::path OnDriveC(const fs::path& driveC, std::string_view windowsPath) {
    fs::path host = driveC;
    std::size_t start = 0;
    while (start < windowsPath.size()) {
        std::size_t end = windowsPath.find('\\', start);
        if (end == std::string_view::npos) {
            end = windowsPath.size();
        }
        if (end > start) {
            host /= std::string(windowsPath.substr(start, end - start));
        }
        start = end + 1;
    }
    return host;
}

// Windows refuses these in account names; the hive folder takes the name as it is.
bool IsValidAccountName(const std::string& name) {
    if (name.empty() || name.size() > 20 || name == "." || name == ".." || name == ".DEFAULT" ||
        name == "All Users" || name == "Default User") {
        return false;
    }
    return name.find_first_of("\"/\\[]:;|=,+*?<>") == std::string::npos;
}

std::optional<std::string> ParseOptions(const Arguments& arguments, Options& options) {
    std::optional<std::string> user;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--user" && i + 1 < arguments.size()) {
            user = arguments[++i];
        } else if (argument == "--version" && i + 1 < arguments.size()) {
            const std::string version = arguments[++i];
            options.release = nullptr;
            for (const Release& release : kReleases) {
                if (version == release.version) {
                    options.release = &release;
                }
            }
            if (!options.release) {
                return "unknown version '" + version + "' (5.1 or 5.0)";
            }
        } else if (options.dir.empty() && !argument.empty() && argument[0] != '-') {
            options.dir = argument;
        } else {
            return "";
        }
    }
    if (options.dir.empty()) {
        return "";
    }
    const passwd* account = user ? ::getpwnam(user->c_str()) : ::getpwuid(::geteuid());
    if (account == nullptr) {
        return user ? "no such user '" + *user + "'" : "this process has no user name";
    }
    options.user = account->pw_name;
    options.uid = account->pw_uid;
    options.gid = account->pw_gid;
    if (!IsValidAccountName(options.user)) {
        return "'" + options.user + "' cannot be a Windows account name";
    }
    return std::nullopt;
}

std::string ComputerName() {
    char host[256] = {};
    ::gethostname(host, sizeof(host) - 1);
    std::string name;
    for (const char* c = host; *c != 0 && *c != '.' && name.size() < 15; ++c) {
        const auto u = static_cast<unsigned char>(*c);
        name += std::isalnum(u) ? static_cast<char>(std::toupper(u)) : '-';
    }
    return name.empty() ? "HARBORLOCK" : name;
}

// UTF-8 text as the UTF-16LE data of a string value, with its terminator.
std::vector<uint8_t> Utf16(std::string_view text) {
    std::vector<uint8_t> bytes;
    const auto unit = [&bytes](char32_t c) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
    };
    for (char16_t c : hl::text::Utf8ToUtf16(text)) {
        unit(c);
    }
    unit(0);
    return bytes;
}

// Writes the values of one key, creating it; the first failure is kept.
class Writer {
public:
    Writer(registry::Store& store, registry::Caller caller)
        : store_(store), caller_(std::move(caller)) {}

    void Key(const KeyPath& key) { Keep(store_.CreateKey(caller_, key)); }
    void Text(const KeyPath& key, const std::string& name, const std::string& text,
              uint32_t type = registry::kRegSz) {
        Key(key);
        Keep(store_.SetValue(caller_, key, name, type, Utf16(text)));
    }
    void Expandable(const KeyPath& key, const std::string& name, const std::string& text) {
        Text(key, name, text, registry::kRegExpandSz);
    }
    registry::Result result() const { return result_; }

private:
    void Keep(registry::Result result) {
        if (result_ == registry::Result::Ok) {
            result_ = result;
        }
    }
    registry::Store& store_;
    registry::Caller caller_;
    registry::Result result_ = registry::Result::Ok;
};

// The environment of the user's session, as Windows XP gives it to programs.
std::map<std::string, std::string> SessionEnvironment(const Options& options,
                                                      const std::string& computer) {
    const std::string profile = std::string(kProfiles) + "\\" + options.user;
    const std::string temp = profile + "\\Local Settings\\Temp";
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    return {
        {"ALLUSERSPROFILE", std::string(kProfiles) + "\\All Users"},
        {"APPDATA", profile + "\\Application Data"},
        {"CommonProgramFiles", "C:\\Program Files\\Common Files"},
        {"COMPUTERNAME", computer},
        {"ComSpec", std::string(kWindows) + "\\system32\\cmd.exe"},
        {"HOMEDRIVE", "C:"},
        {"HOMEPATH", profile.substr(2)},
        {"LOGONSERVER", "\\\\" + computer},
        {"NUMBER_OF_PROCESSORS", std::to_string(processors)},
        {"OS", "Windows_NT"},
        {"Path",
         std::string(kWindows) + "\\system32;" + kWindows + ";" + kWindows + "\\System32\\Wbem"},
        {"PATHEXT", ".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH"},
        {"PROCESSOR_ARCHITECTURE", "x86"},
        {"ProgramFiles", "C:\\Program Files"},
        {"SystemDrive", "C:"},
        {"SystemRoot", kWindows},
        {"TEMP", temp},
        {"TMP", temp},
        {"USERDOMAIN", computer},
        {"USERNAME", options.user},
        {"USERPROFILE", profile},
        {"windir", kWindows},
    };
}

// Keys every Windows installation has, which programs open rather than create: the registration
// trees of components and shell extensions, the Run key, the hardware profile's branches.
constexpr const char* kStandardMachineKeys[] = {
    "SOFTWARE\\Classes\\CLSID",
    "SOFTWARE\\Classes\\Interface",
    "SOFTWARE\\Classes\\TypeLib",
    "SOFTWARE\\Classes\\AppID",
    "SOFTWARE\\Classes\\*\\shellex\\ContextMenuHandlers",
    "SOFTWARE\\Classes\\Directory\\shellex\\ContextMenuHandlers",
    "SOFTWARE\\Classes\\Folder\\shellex\\ContextMenuHandlers",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved",
    "SYSTEM\\CurrentControlSet\\Control",
};
constexpr const char* kStandardConfigKeys[] = {"Software", "System"};
constexpr const char* kStandardUserKeys[] = {
    "Software\\Classes",
    "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
};

registry::Result WriteMachine(Writer& writer, const Options& options, const std::string& computer,
                              const std::map<std::string, std::string>& environment) {
    for (const char* key : kStandardMachineKeys) {
        writer.Key({Root::LocalMachine, key});
    }
    for (const char* key : kStandardConfigKeys) {
        writer.Key({Root::CurrentConfig, key});
    }
    const KeyPath version{Root::LocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"};
    writer.Text(version, "CurrentVersion", options.release->version);
    writer.Text(version, "CurrentBuildNumber", options.release->build);
    writer.Text(version, "CSDVersion", options.release->servicePack);
    writer.Text(version, "ProductName", options.release->product);
    writer.Text(version, "CurrentType", "Uniprocessor Free");
    writer.Text(version, "SystemRoot", kWindows);
    writer.Text(version, "PathName", kWindows);
    writer.Text(version, "RegisteredOwner", options.user);
    writer.Text(version, "RegisteredOrganization", "");

    const KeyPath profiles{Root::LocalMachine,
                           "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList"};
    writer.Expandable(profiles, "ProfilesDirectory", "%SystemDrive%\\Documents and Settings");
    writer.Text(profiles, "AllUsersProfile", "All Users");
    writer.Text(profiles, "DefaultUserProfile", "Default User");

    const KeyPath windows{Root::LocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion"};
    writer.Text(windows, "ProgramFilesDir", "C:\\Program Files");
    writer.Text(windows, "CommonFilesDir", "C:\\Program Files\\Common Files");
    writer.Expandable(windows, "ProgramFilesPath", "%ProgramFiles%");

    const KeyPath common{Root::LocalMachine, kShellFoldersKey};
    const KeyPath commonExpandable{Root::LocalMachine, kUserShellFoldersKey};
    for (const auto& [name, folder] : kCommonShellFolders) {
        writer.Text(common, name, std::string(kProfiles) + "\\All Users\\" + folder);
        writer.Expandable(commonExpandable, name, std::string("%ALLUSERSPROFILE%\\") + folder);
    }

    writer.Key({Root::LocalMachine, "SYSTEM\\CurrentControlSet\\Services"});
    const KeyPath names{Root::LocalMachine, "SYSTEM\\CurrentControlSet\\Control\\ComputerName"};
    writer.Text({names.root, names.path + "\\ComputerName"}, "ComputerName", computer);
    writer.Text({names.root, names.path + "\\ActiveComputerName"}, "ComputerName", computer);

    const KeyPath system{Root::LocalMachine,
                         "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment"};
    writer.Expandable(system, "ComSpec", "%SystemRoot%\\system32\\cmd.exe");
    writer.Text(system, "NUMBER_OF_PROCESSORS", environment.at("NUMBER_OF_PROCESSORS"));
    writer.Text(system, "OS", "Windows_NT");
    writer.Expandable(system, "Path",
                      "%SystemRoot%\\system32;%SystemRoot%;%SystemRoot%\\System32\\Wbem");
    writer.Text(system, "PATHEXT", environment.at("PATHEXT"));
    writer.Text(system, "PROCESSOR_ARCHITECTURE", "x86");
    writer.Expandable(system, "TEMP", "%SystemRoot%\\TEMP");
    writer.Expandable(system, "TMP", "%SystemRoot%\\TEMP");
    writer.Expandable(system, "windir", "%SystemRoot%");
    return writer.result();
}

// The settings a new user starts from, as in the default user's hive.
registry::Result WriteDefaultUser(Writer& writer) {
    for (const char* key : kStandardUserKeys) {
        writer.Key({Root::Users, std::string(".DEFAULT\\") + key});
    }
    const KeyPath folders{Root::Users, std::string(".DEFAULT\\") + kUserShellFoldersKey};
    for (const auto& [name, folder] : kShellFolders) {
        writer.Expandable(folders, name, std::string("%USERPROFILE%\\") + folder);
    }
    const KeyPath environment{Root::Users, ".DEFAULT\\Environment"};
    writer.Expandable(environment, "TEMP", "%USERPROFILE%\\Local Settings\\Temp");
    writer.Expandable(environment, "TMP", "%USERPROFILE%\\Local Settings\\Temp");
    return writer.result();
}

registry::Result WriteUser(Writer& writer, const Options& options) {
    const std::string profile = std::string(kProfiles) + "\\" + options.user;
    const KeyPath folders{Root::Users, options.user + "\\" + kShellFoldersKey};
    for (const auto& [name, folder] : kShellFolders) {
        writer.Text(folders, name, profile + "\\" + folder);
    }
    return writer.result();
}

bool MakeFolder(const fs::path& folder, fs::perms mode) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        return false;
    }
    fs::permissions(folder, mode, error);
    return !error;
}

bool MakeProfile(const fs::path& profile, const auto& folders) {
    for (const char* folder : folders) {
        if (!MakeFolder(OnDriveC(profile, folder), fs::perms(0755))) {
            return false;
        }
    }
    return true;
}

// Gives a profile and everything in it to its user.
bool GiveTo(const fs::path& folder, uid_t uid, gid_t gid) {
    if (::lchown(folder.c_str(), uid, gid) != 0) {
        return false;
    }
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (::lchown(it->path().c_str(), uid, gid) != 0) {
            return false;
        }
    }
    return !error;
}

std::optional<std::string> BuildDriveC(const fs::path& driveC, const Options& options) {
    // Everyone may add folders to C:\ and its temporary folder, as on Windows; the system's
    // own folders are the administrator's.
    const fs::perms shared = fs::perms(01777);
    const fs::perms system = fs::perms(0755);
    const fs::path profiles = OnDriveC(driveC, "Documents and Settings");
    const fs::path profile = profiles / options.user;
    const bool made = MakeFolder(driveC, shared) &&
                      MakeFolder(OnDriveC(driveC, "WINDOWS\\system32\\drivers"), system) &&
                      MakeFolder(OnDriveC(driveC, "WINDOWS\\Temp"), shared) &&
                      MakeFolder(OnDriveC(driveC, "Program Files\\Common Files"), system) &&
                      MakeProfile(profiles / "All Users", kAllUsersFolders) &&
                      MakeFolder(profiles / "All Users" / "Documents", shared) &&
                      MakeProfile(profiles / "Default User", kProfileFolders) &&
                      MakeProfile(profile, kProfileFolders);
    if (!made) {
        return "cannot create the folders of drive C:";
    }
    // A profile is its owner's alone, as its access list makes it on Windows.
    std::error_code error;
    fs::permissions(profile, fs::perms(0700), error);
    if (error || !GiveTo(profile, options.uid, options.gid)) {
        return "cannot give the profile to " + options.user;
    }
    return std::nullopt;
}

std::optional<std::string> BuildRegistry(const fs::path& folder, const Options& options,
                                         const std::string& computer,
                                         const std::map<std::string, std::string>& environment) {
    std::unique_ptr<registry::Store> store;
    if (registry::Store::Open(folder, store) != registry::Result::Ok) {
        return "cannot create the hives";
    }
    // The system's creator is its administrator; the files refuse anyone else regardless.
    Writer writer(*store, {0, options.user});
    if (WriteMachine(writer, options, computer, environment) != registry::Result::Ok ||
        WriteDefaultUser(writer) != registry::Result::Ok) {
        return std::string("cannot write the system's hives: ") +
               registry::ToString(writer.result());
    }
    if (const registry::Result made = store->EnsureUserHive(options.user, options.uid);
        made != registry::Result::Ok) {
        return "cannot create the hive of " + options.user + ": " + registry::ToString(made);
    }
    if (WriteUser(writer, options) != registry::Result::Ok) {
        return "cannot write the hive of " + options.user + ": " +
               registry::ToString(writer.result());
    }
    return std::nullopt;
}

std::optional<std::string> WriteEnvironment(const fs::path& file,
                                            const std::map<std::string, std::string>& variables) {
    // Sorted without regard to case, as Windows keeps an environment block.
    std::vector<std::pair<std::string, std::string>> sorted(variables.begin(), variables.end());
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return std::lexicographical_compare(a.first.begin(), a.first.end(), b.first.begin(),
                                            b.first.end(), [](char x, char y) {
                                                return std::toupper(static_cast<unsigned char>(x)) <
                                                       std::toupper(static_cast<unsigned char>(y));
                                            });
    });
    std::ofstream stream(file, std::ios::binary);
    for (const auto& [name, value] : sorted) {
        stream << name << '=' << value << '\n';
    }
    stream.close();
    if (!stream) {
        return "cannot write " + file.string();
    }
    return std::nullopt;
}

std::optional<std::string> Build(const Options& options) {
    const fs::path& dir = options.dir;
    const fs::perms system = fs::perms(0755);
    for (const char* part : {"run", "dev", "mnt", "dosdevices"}) {
        if (!MakeFolder(dir / part, system)) {
            return std::string("cannot create ") + (dir / part).string();
        }
    }
    std::error_code error;
    fs::create_directory_symlink("../drive_c", dir / "dosdevices" / "c:", error);
    if (error) {
        return "cannot create the DOS device C:";
    }
    if (auto failure = BuildDriveC(dir / "drive_c", options)) {
        return failure;
    }
    const std::string computer = ComputerName();
    const auto environment = SessionEnvironment(options, computer);
    if (auto failure = BuildRegistry(dir / "registry", options, computer, environment)) {
        return failure;
    }
    return WriteEnvironment(dir / "run" / "environment", environment);
}

}  // namespace

int Init(const Arguments& arguments) {
    Options options;
    if (const auto problem = ParseOptions(arguments, options)) {
        return problem->empty() ? Usage("init") : Fail(*problem);
    }
    std::error_code error;
    for (const char* part : kParts) {
        if (fs::exists(fs::symlink_status(options.dir / part, error))) {
            return Fail(options.dir.string() + " already holds a system");
        }
    }
    const bool newFolder = !fs::exists(options.dir, error);
    if (newFolder ? !MakeFolder(options.dir, fs::perms(0755))
                  : !fs::is_directory(options.dir, error)) {
        return Fail("cannot create " + options.dir.string());
    }
    if (const auto failure = Build(options)) {
        // Leave nothing half made.
        for (const char* part : kParts) {
            fs::remove_all(options.dir / part, error);
        }
        if (newFolder) {
            fs::remove(options.dir, error);
        }
        return Fail(*failure);
    }
    std::printf("hlsys: created a Windows %s system for %s in %s\n", options.release->version,
                options.user.c_str(), options.dir.c_str());
    return 0;
}

}  // namespace hlsys
