// vdtool as a user runs it: exit codes, messages and the files it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>

#include "format/container_header.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int exitCode;
    std::string out;
    std::string err;
};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class Vdtool : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("vdtool-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        WriteFile("pw1", "first password\n");
        WriteFile("pw2", "second password\r\n");
    }
    void TearDown() override { fs::remove_all(dir); }

    void WriteFile(const std::string& name, const std::string& content) {
        std::ofstream(dir / name, std::ios::binary) << content;
    }
    std::string Path(const std::string& name) const { return (dir / name).string(); }

    // Runs vdtool in the test folder, without a terminal, with `input` as standard input; a run
    // that hangs is ended after a minute. `limits` are shell commands run first.
    Outcome Run(const std::string& args, const std::string& input = "/dev/null",
                const std::string& limits = ":") {
        const std::string command = "cd '" + dir.string() + "' && " + limits +
                                    " && setsid timeout 60 " VDTOOL_PATH " " + args + " <" + input +
                                    " >out.txt 2>err.txt";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(dir / "out.txt"),
                Slurp(dir / "err.txt")};
    }

    std::string RandomImage(const std::string& name, std::size_t bytes) {
        std::mt19937 rng(static_cast<unsigned>(bytes));
        std::string image(bytes, '\0');
        for (char& c : image) {
            c = static_cast<char>(rng());
        }
        WriteFile(name, image);
        return image;
    }

    fs::path dir;
};

TEST_F(Vdtool, RoundTripThroughImportExportAndPasswordChange) {
    const std::string image = RandomImage("plain.img", 524288);
    ASSERT_EQ(Run("create c.vd --size 524288 --password-file pw1").exitCode, 0);
    EXPECT_EQ(fs::file_size(dir / "c.vd"), 524288u + 8192u);
    ASSERT_EQ(Run("import c.vd plain.img --password-file pw1").exitCode, 0);
    ASSERT_EQ(Run("export c.vd back.img --password-file pw1").exitCode, 0);
    EXPECT_EQ(Slurp(dir / "back.img"), image);

    const std::string before = Slurp(dir / "c.vd");
    ASSERT_EQ(Run("passwd c.vd --password-file pw1 --new-password-file pw2").exitCode, 0);
    const std::string after = Slurp(dir / "c.vd");
    EXPECT_EQ(before.substr(8192), after.substr(8192));  // the data area is not re-enciphered

    const Outcome check = Run("check c.vd --password-file pw2");
    EXPECT_EQ(check.exitCode, 0);
    EXPECT_NE(check.out.find("header salt"), std::string::npos);
    EXPECT_EQ(Run("check c.vd --password-file pw1").exitCode, 2);
    ASSERT_EQ(Run("export c.vd back2.img --password-file pw2").exitCode, 0);
    EXPECT_EQ(Slurp(dir / "back2.img"), image);
}

TEST_F(Vdtool, ReadsAndWritesSingleSectors) {
    ASSERT_EQ(Run("create c.vd --size 262144 --password-file pw1").exitCode, 0);
    const std::string two = RandomImage("two.bin", 8192);
    ASSERT_EQ(Run("write c.vd --sector 62 --password-file pw1", "two.bin").exitCode, 0);
    const Outcome read = Run("read c.vd --sector 62 --count 2 --password-file pw1");
    ASSERT_EQ(read.exitCode, 0);
    EXPECT_EQ(read.out, two);
    // Sector 63 is the last one: two sectors from 63 do not fit, nothing is written.
    const std::string before = Slurp(dir / "c.vd");
    EXPECT_EQ(Run("write c.vd --sector 63 --password-file pw1", "two.bin").exitCode, 1);
    EXPECT_EQ(Run("read c.vd --sector 64 --password-file pw1").exitCode, 1);
    WriteFile("odd.bin", std::string(100, 'x'));
    EXPECT_EQ(Run("write c.vd --sector 0 --password-file pw1", "odd.bin").exitCode, 1);
    EXPECT_EQ(Slurp(dir / "c.vd"), before);
}

struct Refusal {
    const char* args;
    int exitCode;
    const char* message;
};

TEST_F(Vdtool, RefusesBadInputWithAClearMessage) {
    ASSERT_EQ(Run("create c.vd --size 262144 --password-file pw1").exitCode, 0);
    WriteFile("short.vd", std::string(8191, '\0'));
    WriteFile("long-pw", std::string(41, 'a') + "\n");
    WriteFile("empty-pw", "\n");
    RandomImage("big.img", 524288);
    const Refusal refusals[] = {
        {"create n.vd --size 100000 --password-file pw1", 1, "not a positive multiple of 262,144"},
        {"create n.vd --size 0 --password-file pw1", 1, "not a positive multiple of 262,144"},
        {"create c.vd --size 262144 --password-file pw1", 1, "already exists"},
        {"create n.vd --size 262144 --password-file long-pw", 1,
         "a password has 4 to 40 characters; this one has 41"},
        {"create n.vd --size 262144 --password-file empty-pw", 1, "this one has 0"},
        {"create n.vd --size 262144", 1, "no terminal"},
        {"check missing.vd --password-file pw1", 1, "no such file"},
        {"check short.vd --password-file pw1", 1, "too short"},
        {"check c.vd --password-file pw2", 2, "wrong password"},
        {"import c.vd big.img --password-file pw1", 1, "more than the container"},
        {"check", 64, "wrong number of file names"},
        {"read c.vd --sector x --password-file pw1", 64, "decimal number"},
        {"frobnicate c.vd", 64, "unknown command"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.args);
        const Outcome outcome = Run(r.args);
        EXPECT_EQ(outcome.exitCode, r.exitCode);
        EXPECT_NE(outcome.err.find(r.message), std::string::npos) << outcome.err;
    }
    EXPECT_FALSE(fs::exists(dir / "n.vd"));
}

// Whether the container's header opens under exactly these key bytes.
bool OpensWithKey(const fs::path& container, const std::string& bytes) {
    struct FilePort : vdformat::ContainerPort {
        std::string image;
        bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) noexcept override {
            if (offset + length > image.size()) {
                return false;
            }
            std::memcpy(buffer, image.data() + offset, length);
            return true;
        }
        std::int32_t WriteAt(std::uint64_t, const void*, std::size_t) noexcept override {
            return -1;
        }
        std::uint32_t TickCount() noexcept override { return 0; }
    } port;
    port.image = Slurp(container);
    std::array<std::uint8_t, vdformat::kUserKeyBytes> key{};
    std::memcpy(key.data(), bytes.data(), bytes.size());
    auto schedule = std::make_unique<vdformat::KeySchedule>();
    return vdformat::OpenHeader(port, key, *schedule).result == vdformat::HeaderResult::Ok;
}

// Windows programs type passwords in Windows-1252; vdtool takes the host's UTF-8 and makes the
// same key bytes, or refuses text that has none.
TEST_F(Vdtool, PasswordsAreWindows1252Keys) {
    WriteFile("cafe-pw", "caf\xC3\xA9pw\n");
    ASSERT_EQ(Run("create c.vd --size 262144 --password-file cafe-pw").exitCode, 0);
    EXPECT_TRUE(OpensWithKey(dir / "c.vd", "caf\xE9pw"));
    EXPECT_FALSE(OpensWithKey(dir / "c.vd", "caf\xC3\xA9pw"));
    EXPECT_EQ(Run("check c.vd --password-file cafe-pw").exitCode, 0);
    // The euro sign is one byte, 0x80, in the code page.
    WriteFile("euro-pw", "\xE2\x82\xAC 1000\n");
    ASSERT_EQ(Run("passwd c.vd --password-file cafe-pw --new-password-file euro-pw").exitCode, 0);
    EXPECT_TRUE(OpensWithKey(dir / "c.vd", "\x80 1000"));

    const Refusal refusals[] = {
        {"create n.vd --size 262144 --password-file cjk-pw", 1, "Windows-1252 lacks"},
        {"create n.vd --size 262144 --password-file latin1-pw", 1, "not UTF-8"},
        {"create n.vd --size 262144 --password-file cut-pw", 1, "not UTF-8"},
    };
    WriteFile("cjk-pw", "pass\xE4\xB8\xADword\n");  // U+4E2D
    WriteFile("latin1-pw", "caf\xE9pw\n");          // already code-page bytes
    WriteFile("cut-pw", "cafe\xC3\n");
    for (const Refusal& refusal : refusals) {
        const Outcome outcome = Run(refusal.args);
        EXPECT_EQ(outcome.exitCode, refusal.exitCode) << refusal.args;
        EXPECT_NE(outcome.err.find(refusal.message), std::string::npos)
            << refusal.args << ": " << outcome.err;
        EXPECT_FALSE(fs::exists(dir / "n.vd")) << refusal.args;
    }
}

TEST_F(Vdtool, PasswordsHaveFourToFortyCharacters) {
    struct Case {
        std::size_t length;
        int exitCode;
    };
    ASSERT_EQ(Run("create c.vd --size 262144 --password-file pw1").exitCode, 0);
    const Case cases[] = {{0, 1}, {3, 1}, {4, 0}, {40, 0}, {41, 1}, {200, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string name = "new-" + std::to_string(c.length) + ".vd";
        WriteFile("pw", std::string(c.length, 'p') + "\n");
        const Outcome created = Run("create " + name + " --size 262144 --password-file pw");
        EXPECT_EQ(created.exitCode, c.exitCode) << created.err;
        EXPECT_EQ(fs::exists(dir / name), c.exitCode == 0);
        if (c.exitCode != 0) {
            EXPECT_NE(created.err.find("4 to 40 characters"), std::string::npos) << created.err;
            // A new password keeps the same rule; the container keeps its old one.
            const Outcome changed = Run("passwd c.vd --password-file pw1 --new-password-file pw");
            EXPECT_EQ(changed.exitCode, 1);
            EXPECT_NE(changed.err.find("4 to 40 characters"), std::string::npos) << changed.err;
            EXPECT_EQ(Run("check c.vd --password-file pw1").exitCode, 0);
        }
    }
}

TEST_F(Vdtool, RefusesAFileThatIsNoRegularFile) {
    ASSERT_EQ(::mkfifo((dir / "pipe.vd").c_str(), 0600), 0);
    fs::create_directory(dir / "folder.vd");
    for (const char* args :
         {"check pipe.vd --password-file pw1", "export pipe.vd out.img --password-file pw1",
          "write pipe.vd --sector 0 --password-file pw1", "check folder.vd --password-file pw1"}) {
        SCOPED_TRACE(args);
        const Outcome outcome = Run(args);
        EXPECT_EQ(outcome.exitCode, 1);  // a hang ends with 124
        EXPECT_NE(outcome.err.find("not a regular file"), std::string::npos) << outcome.err;
    }
    EXPECT_FALSE(fs::exists(dir / "out.img"));
}

TEST_F(Vdtool, CreateSaysWhenTheFileIsSparse) {
    const Outcome outcome = Run("create c.vd --size 1048576 --password-file pw1");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    struct stat status {};
    ASSERT_EQ(::stat((dir / "c.vd").c_str(), &status), 0);
    const bool sparse = static_cast<std::uint64_t>(status.st_blocks) * 512 <
                        static_cast<std::uint64_t>(status.st_size);
    EXPECT_EQ(outcome.out.find("sparse") != std::string::npos, sparse) << outcome.out;
    EXPECT_TRUE(sparse) << "the folder's file system made a full file; the note went untested";
}

TEST_F(Vdtool, AFailedExportLeavesNoPlaintextBehind) {
    RandomImage("plain.img", 524288);
    ASSERT_EQ(Run("create c.vd --size 524288 --password-file pw1").exitCode, 0);
    ASSERT_EQ(Run("import c.vd plain.img --password-file pw1").exitCode, 0);
    // Files of this run may not grow beyond 128 KiB: the export fails a quarter of the way.
    const Outcome outcome =
        Run("export c.vd back.img --password-file pw1", "/dev/null", "trap '' XFSZ && ulimit -f 256");
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_NE(outcome.err.find("writing the output failed"), std::string::npos) << outcome.err;
    EXPECT_FALSE(fs::exists(dir / "back.img"));
    // A failure before anything was written touches no file either, and an output that is not a
    // regular file is never removed.
    EXPECT_EQ(Run("export c.vd back.img --password-file pw2").exitCode, 2);
    EXPECT_FALSE(fs::exists(dir / "back.img"));
    EXPECT_EQ(Run("export c.vd /dev/full --password-file pw1").exitCode, 1);
    EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST_F(Vdtool, SelfTestPasses) {
    const Outcome outcome = Run("selftest");
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_NE(outcome.out.find("self-test passed"), std::string::npos);
}

}  // namespace
