// The running system under load and abuse: several disks and clients at once, read-only
// volumes, a kernel killed mid-write, and hostile protocol messages.
#include <gtest/gtest.h>
#include <ntstatus.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "booted_system.h"
#include "controller/controller_state.h"
#include "disk_steps.h"
#include "protocol/channel.h"

namespace {

using system_test::BootedSystem;
using system_test::ReadText;
using system_test::WriteText;

bool Mount(ControllerState& state, char letter, const char* file, LONGLONG size,
           bool readOnly = false) {
    return system_test::MountDisk(state, letter, file, size, "pw", readOnly);
}

int Format(char letter) {
    return system_test::FormatDrive(letter);
}

constexpr LONGLONG kDiskBytes = 16 << 20;

TEST(Robustness, FourDisksAtOnceThenNoFreeDevice) {
    BootedSystem system;
    const char letters[] = {'K', 'L', 'M', 'N'};
    ControllerState state;
    for (char letter : letters) {
        const std::string file = std::string("C:\\four-") + letter + ".vd";
        ASSERT_TRUE(Mount(state, letter, file.c_str(), kDiskBytes))
            << letter << std::hex << state.LastError;
        ASSERT_EQ(Format(letter), 0);
        ASSERT_TRUE(WriteText(std::string(1, letter) + ":\\name.txt", std::string(1, letter)));
    }
    EXPECT_FALSE(Mount(state, 'O', "C:\\fifth.vd", kDiskBytes));
    EXPECT_EQ(state.LastError, KV_E_NO_FREE_DEVICE);
    for (char letter : letters) {
        EXPECT_EQ(ReadText(std::string(1, letter) + ":\\name.txt"), std::string(1, letter));
        EXPECT_TRUE(SafeUnmount(state, letter)) << letter;
    }
}

TEST(Robustness, TwoClientsMountingAtTheSameMomentBothEndCleanly) {
    BootedSystem system;
    // Two processes race for the first free device with their own letters.
    pid_t clients[2];
    for (int i = 0; i < 2; ++i) {
        clients[i] = ::fork();
        if (clients[i] == 0) {
            ControllerState own;
            const char letter = i == 0 ? 'G' : 'H';
            const std::string file = std::string("C:\\race-") + letter + ".vd";
            std::_Exit(Mount(own, letter, file.c_str(), kDiskBytes) ? 0 : 1);
        }
    }
    int successes = 0;
    for (pid_t client : clients) {
        int status = 0;
        ::waitpid(client, &status, 0);
        successes += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    EXPECT_GE(successes, 1);
    // A loser leaves no letter behind; every winner's disk is served.
    ControllerState state;
    char device[64];
    ASSERT_TRUE(ScanDevices(state, device));
    int bound = 0;
    for (char letter : {'G', 'H'}) {
        char target[256];
        if (QueryDosDeviceA(std::string{letter, ':'}.c_str(), target, sizeof(target)) != 0) {
            ++bound;
            EXPECT_TRUE(CriticalUnmount(state, letter));
        }
    }
    EXPECT_EQ(bound, successes);
}

TEST(Robustness, ReadOnlyOpenMountsAReadOnlyFileSystem) {
    BootedSystem system;
    ControllerState state;
    ASSERT_TRUE(Mount(state, 'R', "C:\\ro.vd", kDiskBytes));
    ASSERT_EQ(Format('R'), 0);
    ASSERT_TRUE(WriteText("R:\\kept.txt", "kept"));
    ASSERT_TRUE(SafeUnmount(state, 'R'));

    ASSERT_TRUE(Mount(state, 'r', "C:\\ro.vd", 0, true)) << std::hex << state.LastError;
    EXPECT_EQ(ReadText("R:\\kept.txt"), "kept");
    HANDLE file = CreateFileA("R:\\new.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    EXPECT_TRUE(SafeUnmount(state, 'r'));
}

TEST(Robustness, AKernelKilledMidWriteIsCleanedUpAtTheNextBoot) {
    BootedSystem system;
    ControllerState state;
    ASSERT_TRUE(Mount(state, 'W', "C:\\crash.vd", kDiskBytes));
    ASSERT_EQ(Format('W'), 0);
    ASSERT_TRUE(WriteText("W:\\before.txt", "before"));
    ASSERT_TRUE(SafeUnmount(state, 'W'));
    ASSERT_TRUE(Mount(state, 'W', "C:\\crash.vd", 0));

    std::string host = (BootedSystem::Root() / "mnt" / "w" / "busy.bin").string();
    const pid_t writer = ::fork();
    if (writer == 0) {
        std::ofstream out(host, std::ios::binary);
        const std::string block(65536, 'z');
        for (int i = 0; i < 100000 && out; ++i) {
            out << block;
        }
        std::_Exit(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    system.Kill();
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);

    system.Restart();
    // The dead kernel's volume is gone; only the new kernel's disk surface is mounted.
    std::ifstream mounts("/proc/mounts");
    const std::string all((std::istreambuf_iterator<char>(mounts)), {});
    EXPECT_EQ(all.find((BootedSystem::Root() / "mnt").string()), std::string::npos) << all;
    ASSERT_TRUE(Mount(state, 'W', "C:\\crash.vd", 0)) << std::hex << state.LastError;
    EXPECT_EQ(ReadText("W:\\before.txt"), "before");
    EXPECT_TRUE(CriticalUnmount(state, 'W'));
}

TEST(Robustness, HostileMessagesAreRefusedAndTheKernelServesOn) {
    BootedSystem system;
    const std::string socketPath = (BootedSystem::Root() / "run" / "kernel.sock").string();
    {
        hl::protocol::Channel channel(hl::protocol::Channel::Connect(socketPath.c_str()));
        const std::uint8_t junk[3] = {1, 2, 3};
        ASSERT_TRUE(channel.Send(
            static_cast<std::uint16_t>(hl::protocol::RequestType::DeviceControl), 1, junk));
        hl::protocol::Header header;
        hl::protocol::Bytes body;
        ASSERT_EQ(channel.Receive(header, body), hl::protocol::ReceiveResult::Ok);
        EXPECT_EQ(header.type, hl::protocol::kRefusedType);
        ASSERT_TRUE(channel.Send(4242, 2, {}));
        ASSERT_EQ(channel.Receive(header, body), hl::protocol::ReceiveResult::Ok);
        EXPECT_EQ(header.type, hl::protocol::kRefusedType);
        // A device-control on a handle that was never opened.
        hl::protocol::TransferReply reply;
        hl::protocol::DeviceControlRequest request;
        request.handle = 999;
        ASSERT_EQ(hl::protocol::Call<hl::protocol::RequestType::DeviceControl>(channel, 3, request,
                                                                               reply),
                  hl::protocol::CallResult::Ok);
        EXPECT_EQ(reply.status, STATUS_INVALID_HANDLE);
    }
    {
        const int fd = hl::protocol::Channel::Connect(socketPath.c_str());
        hl::protocol::Header lie;
        lie.length = 0xFFFFFFFF;
        ASSERT_EQ(::write(fd, &lie, sizeof(lie)), static_cast<ssize_t>(sizeof(lie)));
        ::close(fd);
    }
    {
        // 17 bytes whose header claims a 64 MiB write: refused and dropped at once, not waited
        // for, while a client connected before it is served on.
        hl::protocol::Channel before(hl::protocol::Channel::Connect(socketPath.c_str()));
        hl::protocol::HelloReply hello;
        ASSERT_EQ(hl::protocol::Call<hl::protocol::RequestType::Hello>(before, 1, {1}, hello),
                  hl::protocol::CallResult::Ok);
        hl::protocol::Channel channel(hl::protocol::Channel::Connect(socketPath.c_str()));
        hl::protocol::Header lie;
        lie.type = static_cast<std::uint16_t>(hl::protocol::RequestType::WriteDevice);
        lie.length = 64u << 20;
        ASSERT_EQ(::write(channel.fd(), &lie, sizeof(lie)), static_cast<ssize_t>(sizeof(lie)));
        ASSERT_EQ(::write(channel.fd(), "x", 1), 1);
        hl::protocol::Header header;
        hl::protocol::Bytes body;
        ASSERT_EQ(channel.Receive(header, body), hl::protocol::ReceiveResult::Ok);
        EXPECT_EQ(header.type, hl::protocol::kRefusedType);
        EXPECT_EQ(channel.Receive(header, body), hl::protocol::ReceiveResult::Closed);
        EXPECT_EQ(hl::protocol::Call<hl::protocol::RequestType::Hello>(before, 2, {1}, hello),
                  hl::protocol::CallResult::Ok);
    }
    ControllerState state;
    ASSERT_TRUE(Mount(state, 'V', "C:\\after.vd", kDiskBytes));
    EXPECT_TRUE(CriticalUnmount(state, 'V'));
}

// The threads of a process, from /proc.
int ThreadsOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoi(line.substr(8));
        }
    }
    return -1;
}

bool Greeted(hl::protocol::Channel& channel) {
    hl::protocol::HelloReply hello;
    return hl::protocol::Call<hl::protocol::RequestType::Hello>(channel, 1, {1}, hello) ==
           hl::protocol::CallResult::Ok;
}

// Idle connections by the hundred cost the kernel no more threads than one user may hold, and a
// client connected before them is served on.
TEST(Robustness, AFloodOfIdleConnectionsIsBoundedAndOthersAreServedOn) {
    BootedSystem system;
    const std::string socketPath = (BootedSystem::Root() / "run" / "kernel.sock").string();
    hl::protocol::Channel before(hl::protocol::Channel::Connect(socketPath.c_str()));
    ASSERT_TRUE(Greeted(before));
    const int threadsBefore = ThreadsOf(system.pid());
    ASSERT_GT(threadsBefore, 0);

    constexpr int kFlood = 200;
    std::vector<std::unique_ptr<hl::protocol::Channel>> flood;
    int admitted = 0;
    for (int i = 0; i < kFlood; ++i) {
        flood.push_back(std::make_unique<hl::protocol::Channel>(
            hl::protocol::Channel::Connect(socketPath.c_str())));
        admitted += Greeted(*flood.back()) ? 1 : 0;
    }
    EXPECT_GT(admitted, 0);
    EXPECT_LT(admitted, 64);  // one user's bound, less what this user held already
    EXPECT_LE(ThreadsOf(system.pid()) - threadsBefore, 64);
    EXPECT_TRUE(Greeted(before));

    // Once the flood has gone, the user is admitted again.
    flood.clear();
    bool again = false;
    for (int i = 0; i < 200 && !again; ++i) {
        hl::protocol::Channel channel(hl::protocol::Channel::Connect(socketPath.c_str()));
        again = Greeted(channel);
        if (!again) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_TRUE(again);
}

}  // namespace
