#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

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
                std::vector<std::uint8_t>& reply) override {
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
    void SetUp() override {
        socketPath =
            fs::temp_directory_path() / ("server-test-" + std::to_string(::getpid()) + ".sock");
        server = std::make_unique<Server>(socketPath, [](const PeerIdentity& peer) {
            return std::make_unique<EchoSession>(peer);
        });
        ASSERT_TRUE(server->Listen());
        runner = std::thread([this] { server->Run(); });
    }
    void TearDown() override {
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
        std::vector<std::uint8_t> body;
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
        // A header that lies about its length: refused and dropped.
        auto channel = Connect();
        protocol::Header lie;
        lie.length = protocol::kMaxBodyBytes + 1;
        ASSERT_EQ(::write(channel->fd(), &lie, sizeof(lie)), static_cast<ssize_t>(sizeof(lie)));
        protocol::Header header;
        std::vector<std::uint8_t> body;
        EXPECT_EQ(channel->Receive(header, body), protocol::ReceiveResult::Ok);
        EXPECT_EQ(header.type, protocol::kRefusedType);
        EXPECT_EQ(channel->Receive(header, body), protocol::ReceiveResult::Closed);
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

}  // namespace
}  // namespace hl::daemon
