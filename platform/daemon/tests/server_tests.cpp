#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "server.h"

namespace hl::daemon {
namespace {

namespace fs = std::filesystem;

std::atomic<int> liveSessions{0};

// Answers Hello with the peer's uid; refuses everything else.
class EchoSession : public Session {
public:
    explicit EchoSession(const PeerIdentity& peer) : peer_(peer) { ++liveSessions; }
    ~EchoSession() override { --liveSessions; }
    bool Handle(std::uint16_t type, std::span<const std::uint8_t> body,
                protocol::Bytes& reply) override {
        if (type != static_cast<std::uint16_t>(protocol::RequestType::Hello)) {
            return false;
        }
        protocol::HelloRequest in;
        if (!protocol::Decode(body, in)) {
            return false;
        }
        reply = protocol::Encode(protocol::HelloReply{0, peer_.uid + 1000});
        return true;
    }

private:
    PeerIdentity peer_;
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { Start({}, {}); }
    void Start(ServerLimits limits, ServerHooks hooks) {
        socketPath =
            fs::temp_directory_path() / ("server-test-" + std::to_string(::getpid()) + ".sock");
        server = std::make_unique<Server>(
            socketPath,
            [](const PeerIdentity& peer) { return std::make_unique<EchoSession>(peer); }, limits,
            std::move(hooks));
        ASSERT_TRUE(server->Listen());
        runner = std::thread([this] { server->Run(); });
    }
    void Restart(ServerLimits limits, ServerHooks hooks = {}) {
        TearDown();
        Start(limits, std::move(hooks));
    }
    void TearDown() override {
        if (!server) {
            return;
        }
        server->Stop();
        runner.join();
        server.reset();
        EXPECT_EQ(liveSessions.load(), 0);
    }
    std::unique_ptr<protocol::Channel> Connect() {
        const int fd = protocol::Channel::Connect(socketPath.c_str());
        EXPECT_GE(fd, 0);
        return std::make_unique<protocol::Channel>(fd);
    }
    static bool Served(protocol::Channel& channel) {
        protocol::HelloReply reply;
        return protocol::Call<protocol::RequestType::Hello>(channel, 1, {1}, reply) ==
               protocol::CallResult::Ok;
    }
    fs::path socketPath;
    std::unique_ptr<Server> server;
    std::thread runner;
};

TEST_F(ServerTest, AnswersWithThePeersIdentity) {
    auto channel = Connect();
    protocol::HelloReply reply;
    ASSERT_EQ(protocol::Call<protocol::RequestType::Hello>(*channel, 1, {123}, reply),
              protocol::CallResult::Ok);
    EXPECT_EQ(reply.daemonPid, ::getuid() + 1000);
}

TEST_F(ServerTest, HostileMessagesAreRefusedAndServingGoesOn) {
    {
        // An unknown request and a body that does not decode: refused, the connection stays.
        auto channel = Connect();
        ASSERT_TRUE(channel->Send(77, 1, {}));
        protocol::Header header;
        protocol::Bytes body;
        ASSERT_EQ(channel->Receive(header, body), protocol::ReceiveResult::Ok);
        EXPECT_EQ(header.type, protocol::kRefusedType);
        const std::uint8_t shortBody[2] = {1, 2};
        ASSERT_TRUE(channel->Send(1, 2, shortBody));
        ASSERT_EQ(channel->Receive(header, body), protocol::ReceiveResult::Ok);
        EXPECT_EQ(header.type, protocol::kRefusedType);
        protocol::HelloReply reply;
        EXPECT_EQ(protocol::Call<protocol::RequestType::Hello>(*channel, 3, {1}, reply),
                  protocol::CallResult::Ok);
    }
    {
        // A 17-byte message whose header claims 64 MiB for a request of 4 bytes at most: refused
        // and dropped, while a client connected before it is served on.
        auto before = Connect();
        ASSERT_TRUE(Served(*before));
        auto channel = Connect();
        protocol::Header lie;
        lie.type = static_cast<std::uint16_t>(protocol::RequestType::Hello);
        lie.length = 64u << 20;
        ASSERT_EQ(::write(channel->fd(), &lie, sizeof(lie)), static_cast<ssize_t>(sizeof(lie)));
        ASSERT_EQ(::write(channel->fd(), "x", 1), 1);
        protocol::Header header;
        protocol::Bytes body;
        EXPECT_EQ(channel->Receive(header, body), protocol::ReceiveResult::Ok);
        EXPECT_EQ(header.type, protocol::kRefusedType);
        EXPECT_EQ(channel->Receive(header, body), protocol::ReceiveResult::Closed);
        EXPECT_TRUE(Served(*before));
    }
    auto fresh = Connect();
    protocol::HelloReply reply;
    EXPECT_EQ(protocol::Call<protocol::RequestType::Hello>(*fresh, 1, {1}, reply),
              protocol::CallResult::Ok);
}

TEST_F(ServerTest, AVanishedClientReleasesItsSession) {
    {
        auto channel = Connect();
        protocol::HelloReply reply;
        ASSERT_EQ(protocol::Call<protocol::RequestType::Hello>(*channel, 1, {1}, reply),
                  protocol::CallResult::Ok);
        EXPECT_EQ(liveSessions.load(), 1);
    }
    for (int i = 0; i < 200 && liveSessions.load() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(liveSessions.load(), 0);
}

TEST_F(ServerTest, ConnectionsAreBoundedPerUserAndInAllAndOthersAreServedOn) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to connect as a second user";
    }
    Restart({2, 3});
    auto first = Connect();
    auto second = Connect();
    ASSERT_TRUE(Served(*first));
    ASSERT_TRUE(Served(*second));
    // A third of the same user is closed before any answer; the first two are served on.
    auto third = Connect();
    EXPECT_FALSE(Served(*third));
    EXPECT_TRUE(Served(*first));

    // Another user still gets in, up to the bound of all connections.
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(10);
        }
        const int a = protocol::Channel::Connect(socketPath.c_str());
        protocol::Channel one(a);
        if (a < 0 || !Served(one)) {
            ::_exit(11);
        }
        const int b = protocol::Channel::Connect(socketPath.c_str());
        protocol::Channel two(b);
        ::_exit(b >= 0 && Served(two) ? 12 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(Served(*second));

    // A connection that ends makes room for another of its user.
    first.reset();
    bool admitted = false;
    for (int i = 0; i < 200 && !admitted; ++i) {
        auto again = Connect();
        admitted = Served(*again);
        if (!admitted) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_TRUE(admitted);
}

TEST(AcceptBackoff, DoublesUpToALimitAndStartsOverAfterASuccess) {
    AcceptBackoff backoff;
    std::vector<long> delays;
    for (int i = 0; i < 9; ++i) {
        delays.push_back(backoff.Next().count());
    }
    EXPECT_EQ(delays, (std::vector<long>{10, 20, 40, 80, 160, 320, 640, 1000, 1000}));
    backoff.Reset();
    EXPECT_EQ(backoff.Next().count(), 10);
}

// Out of descriptors, the server pauses after every failed accept instead of retrying at once,
// and serves the waiting client once accepting works again.
TEST_F(ServerTest, AFailingAcceptIsRetriedAfterAPauseNotAtOnce) {
    std::mutex mutex;
    int failuresLeft = 4;
    int failures = 0;
    std::vector<long> pauses;
    ServerHooks hooks;
    hooks.accept = [&](int listenFd) {
        std::lock_guard lock(mutex);
        if (failuresLeft > 0) {
            --failuresLeft;
            ++failures;
            errno = EMFILE;
            return -1;
        }
        return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    };
    hooks.pause = [&](std::chrono::milliseconds delay) {
        std::lock_guard lock(mutex);
        pauses.push_back(delay.count());
    };
    Restart({}, hooks);
    auto channel = Connect();
    EXPECT_TRUE(Served(*channel));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(failures, 4);
        EXPECT_EQ(pauses, (std::vector<long>{10, 20, 40, 80}));
        failuresLeft = 2;
        pauses.clear();
    }
    auto next = Connect();
    EXPECT_TRUE(Served(*next));
    std::lock_guard lock(mutex);
    EXPECT_EQ(pauses, (std::vector<long>{10, 20}));  // a success started the pauses over
}

}  // namespace
}  // namespace hl::daemon
