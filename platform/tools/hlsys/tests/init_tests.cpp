// hlsys init run on scratch folders: the tree, the hives, the session environment, ownership.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include "registry/store.h"
#include "test_support/programs.h"

namespace {

namespace fs = std::filesystem;
using registry::KeyPath;
using registry::Root;
using tools::testing::Outcome;

constexpr uid_t kNobody = 65534;
const registry::Caller kRoot{0, "root"};

Outcome Init(const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"init"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return tools::testing::Run(HLSYS_PROGRAM, all, {}, "/");
}

// A string value as text (the ASCII the system writes), with its type.
std::string Text(registry::Store& store, const KeyPath& key, const std::string& name,
                 uint32_t* typeOut = nullptr) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (store.QueryValue(kRoot, key, name, type, data) != registry::Result::Ok) {
        return "<missing>";
    }
    if (typeOut != nullptr) {
        *typeOut = type;
    }
    std::string text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        text += static_cast<char>(data[i]);
    }
    if (text.empty() || text.back() != 0) {
        return "<unterminated>";
    }
    text.pop_back();
    return text;
}

uid_t Owner(const fs::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_uid : static_cast<uid_t>(-1);
}

class HlsysInit : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "giving a system to another user needs root";
        }
    }
    fs::path Dir() const { return scratch_.path() / "system"; }
    std::unique_ptr<registry::Store> OpenStore() {
        std::unique_ptr<registry::Store> store;
        EXPECT_EQ(registry::Store::Open(Dir() / "registry", store), registry::Result::Ok);
        return store;
    }

private:
    tools::testing::ScratchFolder scratch_;
};

TEST_F(HlsysInit, BuildsTheFoldersOfAWindowsXpSystem) {
    const Outcome outcome = Init({Dir().string(), "--user", "nobody"});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    const fs::path c = Dir() / "drive_c";
    for (const char* folder :
         {"WINDOWS/system32/drivers", "WINDOWS/Temp", "Program Files/Common Files",
          "Documents and Settings/nobody/Desktop", "Documents and Settings/nobody/My Documents",
          "Documents and Settings/nobody/Start Menu/Programs/Startup",
          "Documents and Settings/nobody/Favorites",
          "Documents and Settings/nobody/Application Data",
          "Documents and Settings/nobody/Local Settings/Temp",
          "Documents and Settings/nobody/Local Settings/Application Data",
          "Documents and Settings/All Users/Desktop",
          "Documents and Settings/All Users/Start Menu/Programs/Startup",
          "Documents and Settings/All Users/Application Data",
          "Documents and Settings/Default User/My Documents"}) {
        EXPECT_TRUE(fs::is_directory(c / folder)) << folder;
    }
    for (const char* part : {"run", "dev", "mnt", "registry"}) {
        EXPECT_TRUE(fs::is_directory(Dir() / part)) << part;
    }
    EXPECT_EQ(fs::read_symlink(Dir() / "dosdevices" / "c:"), "../drive_c");

    // The profile and the hive are the user's, the rest the administrator's.
    const fs::path profile = c / "Documents and Settings" / "nobody";
    EXPECT_EQ(Owner(profile), kNobody);
    EXPECT_EQ(Owner(profile / "Local Settings" / "Temp"), kNobody);
    EXPECT_EQ(Owner(Dir() / "registry" / "users" / "nobody" / "user.hive"), kNobody);
    EXPECT_EQ(Owner(c / "WINDOWS"), 0u);
    EXPECT_EQ(Owner(c / "Documents and Settings" / "All Users"), 0u);
}

TEST_F(HlsysInit, WritesTheHivesAndTheSessionEnvironment) {
    ASSERT_EQ(Init({Dir().string(), "--user", "nobody"}).exitCode, 0);
    auto store = OpenStore();
    const KeyPath version{Root::LocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"};
    EXPECT_EQ(Text(*store, version, "CurrentVersion"), "5.1");
    EXPECT_EQ(Text(*store, version, "CurrentBuildNumber"), "2600");
    EXPECT_EQ(Text(*store, version, "SystemRoot"), "C:\\WINDOWS");
    EXPECT_NE(Text(*store, version, "CSDVersion"), "<missing>");

    registry::KeyInfo services;
    ASSERT_EQ(store->QueryInfo(kRoot, {Root::LocalMachine, "SYSTEM\\CurrentControlSet\\Services"},
                               services),
              registry::Result::Ok);
    EXPECT_EQ(services.subkeys, 0u);

    const KeyPath system{Root::LocalMachine,
                         "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment"};
    uint32_t type = 0;
    EXPECT_EQ(Text(*store, system, "ComSpec", &type), "%SystemRoot%\\system32\\cmd.exe");
    EXPECT_EQ(type, registry::kRegExpandSz);
    EXPECT_EQ(Text(*store, system, "OS"), "Windows_NT");
    EXPECT_EQ(Text(*store, system, "windir"), "%SystemRoot%");
    EXPECT_NE(Text(*store, system, "Path").find("%SystemRoot%\\system32"), std::string::npos);

    // The user's shell folders, absolute, and the expandable forms a new user starts from.
    const std::string profile = "C:\\Documents and Settings\\nobody";
    const std::string folders = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";
    const KeyPath shell{Root::Users, "nobody\\" + folders + "Shell Folders"};
    const KeyPath userShell{Root::Users, "nobody\\" + folders + "User Shell Folders"};
    const std::pair<const char*, const char*> expected[] = {
        {"Desktop", "Desktop"},
        {"Personal", "My Documents"},
        {"Favorites", "Favorites"},
        {"Programs", "Start Menu\\Programs"},
        {"Startup", "Start Menu\\Programs\\Startup"},
        {"Start Menu", "Start Menu"},
        {"AppData", "Application Data"},
        {"Local AppData", "Local Settings\\Application Data"},
        {"Cache", "Local Settings\\Temporary Internet Files"},
        {"Cookies", "Cookies"},
        {"History", "Local Settings\\History"},
        {"Recent", "Recent"},
        {"SendTo", "SendTo"},
        {"Templates", "Templates"},
        {"NetHood", "NetHood"},
        {"PrintHood", "PrintHood"},
        {"My Pictures", "My Documents\\My Pictures"},
        {"My Music", "My Documents\\My Music"},
    };
    for (const auto& [name, folder] : expected) {
        EXPECT_EQ(Text(*store, shell, name, &type), profile + "\\" + folder) << name;
        EXPECT_EQ(type, registry::kRegSz);
        EXPECT_EQ(Text(*store, userShell, name, &type), std::string("%USERPROFILE%\\") + folder)
            << name;
        EXPECT_EQ(type, registry::kRegExpandSz);
    }
    EXPECT_EQ(Text(*store, {Root::Users, "nobody\\Environment"}, "TEMP"),
              "%USERPROFILE%\\Local Settings\\Temp");

    const std::string environment = tools::testing::ReadFile(Dir() / "run" / "environment");
    for (const char* line : {"windir=C:\\WINDOWS\n", "SystemRoot=C:\\WINDOWS\n", "SystemDrive=C:\n",
                             "USERPROFILE=C:\\Documents and Settings\\nobody\n", "HOMEDRIVE=C:\n",
                             "HOMEPATH=\\Documents and Settings\\nobody\n",
                             "APPDATA=C:\\Documents and Settings\\nobody\\Application Data\n",
                             "ALLUSERSPROFILE=C:\\Documents and Settings\\All Users\n",
                             "TEMP=C:\\Documents and Settings\\nobody\\Local Settings\\Temp\n",
                             "TMP=C:\\Documents and Settings\\nobody\\Local Settings\\Temp\n",
                             "ProgramFiles=C:\\Program Files\n",
                             "CommonProgramFiles=C:\\Program Files\\Common Files\n",
                             "USERNAME=nobody\n", "ComSpec=C:\\WINDOWS\\system32\\cmd.exe\n",
                             "OS=Windows_NT\n", "PROCESSOR_ARCHITECTURE=x86\n"}) {
        EXPECT_NE(environment.find(line), std::string::npos) << line;
    }
    for (const char* name :
         {"USERDOMAIN=", "COMPUTERNAME=", "PATHEXT=.COM;.EXE;.BAT;.CMD", "NUMBER_OF_PROCESSORS="}) {
        EXPECT_NE(environment.find(std::string("\n") + name), std::string::npos) << name;
    }
}

// Programs open these keys rather than create them, as every Windows installation has them.
TEST_F(HlsysInit, HasTheKeysEveryWindowsInstallationHas) {
    ASSERT_EQ(Init({Dir().string(), "--user", "nobody"}).exitCode, 0);
    auto store = OpenStore();
    const registry::Caller nobody{kNobody, "nobody"};
    const KeyPath keys[] = {
        {Root::ClassesRoot, "CLSID"},
        {Root::ClassesRoot, "Interface"},
        {Root::ClassesRoot, "TypeLib"},
        {Root::ClassesRoot, "AppID"},
        {Root::ClassesRoot, "*\\shellex\\ContextMenuHandlers"},
        {Root::ClassesRoot, "Directory\\shellex\\ContextMenuHandlers"},
        {Root::ClassesRoot, "Folder\\shellex\\ContextMenuHandlers"},
        {Root::LocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"},
        {Root::LocalMachine,
         "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved"},
        {Root::LocalMachine, "SYSTEM\\CurrentControlSet\\Control"},
        {Root::CurrentConfig, "Software"},
        {Root::CurrentConfig, "System"},
        {Root::CurrentUser, "Software\\Classes"},
        {Root::CurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Run"},
    };
    for (const KeyPath& key : keys) {
        EXPECT_EQ(store->OpenKey(nobody, key), registry::Result::Ok) << key.path;
    }
    // The registration trees are the machine's, so what root registers every user sees.
    bool users = true;
    EXPECT_EQ(store->ClassesKeyIsUsers(nobody, {Root::ClassesRoot, "CLSID"}, users),
              registry::Result::Ok);
    EXPECT_FALSE(users);
}

TEST_F(HlsysInit, Windows2000OnRequest) {
    ASSERT_EQ(Init({Dir().string(), "--version", "5.0", "--user", "nobody"}).exitCode, 0);
    auto store = OpenStore();
    const KeyPath version{Root::LocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"};
    EXPECT_EQ(Text(*store, version, "CurrentVersion"), "5.0");
    EXPECT_EQ(Text(*store, version, "CurrentBuildNumber"), "2195");
}

TEST_F(HlsysInit, RefusesAnExistingSystemAndBadCommandLines) {
    ASSERT_EQ(Init({Dir().string(), "--user", "nobody"}).exitCode, 0);
    {
        auto store = OpenStore();
        ASSERT_EQ(store->SetValue(kRoot, {Root::LocalMachine, "SOFTWARE"}, "Marker", 4,
                                  std::vector<uint8_t>{1, 0, 0, 0}),
                  registry::Result::Ok);
    }
    const Outcome again = Init({Dir().string(), "--version", "5.0"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("already holds a system"), std::string::npos);
    auto store = OpenStore();
    uint32_t type = 0;
    std::vector<uint8_t> data;
    EXPECT_EQ(store->QueryValue(kRoot, {Root::LocalMachine, "SOFTWARE"}, "Marker", type, data),
              registry::Result::Ok);
    EXPECT_EQ(Text(*store, {Root::LocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"},
                   "CurrentVersion"),
              "5.1");

    const fs::path other = Dir().parent_path() / "other";
    EXPECT_EQ(Init({other.string(), "--version", "4.0"}).exitCode, 1);
    EXPECT_EQ(Init({other.string(), "--user", "no-such-user-here"}).exitCode, 1);
    EXPECT_EQ(Init({}).exitCode, 2);
    EXPECT_FALSE(fs::exists(other));

    // A folder with other things in it is no system yet.
    fs::create_directories(other);
    std::ofstream(other / "notes.txt") << "kept";
    EXPECT_EQ(Init({other.string(), "--user", "nobody"}).exitCode, 0);
    EXPECT_EQ(tools::testing::ReadFile(other / "notes.txt"), "kept");
}

// As nobody: the own hive and profile are writable, the machine's are not.
int UseAsNobody(const fs::path& dir) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        return 100;
    }
    std::unique_ptr<registry::Store> store;
    if (registry::Store::Open(dir / "registry", store) != registry::Result::Ok) {
        return 1;
    }
    const registry::Caller self = registry::Caller::Process();
    const KeyPath settings{Root::CurrentUser, "Software\\Mine"};
    if (store->CreateKey(self, settings) != registry::Result::Ok ||
        store->SetValue(self, settings, "Kept", 4, std::vector<uint8_t>{1, 0, 0, 0}) !=
            registry::Result::Ok) {
        return 2;
    }
    if (store->SetValue(self, {Root::LocalMachine, "SOFTWARE"}, "x", 4,
                        std::vector<uint8_t>{1, 0, 0, 0}) != registry::Result::AccessDenied) {
        return 3;
    }
    std::ofstream note(dir / "drive_c" / "Documents and Settings" / "nobody" / "Desktop" / "a.txt");
    note << "mine";
    note.close();
    if (!note) {
        return 4;
    }
    std::ofstream outside(dir / "drive_c" / "WINDOWS" / "a.txt");
    return outside ? 5 : 0;
}

TEST_F(HlsysInit, TheNamedUserCanUseTheSystem) {
    ASSERT_EQ(Init({Dir().string(), "--user", "nobody"}).exitCode, 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::_exit(UseAsNobody(Dir()));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
