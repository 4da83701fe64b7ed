#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "protocol/channel.h"

namespace hl::protocol {
namespace {

DeviceControlRequest SampleControl() {
    DeviceControlRequest request;
    request.handle = 7;
    request.code = 0x8000E000;
    request.input.assign(280, 0xAB);
    request.outputLength = 4;
    return request;
}

TEST(Wire, RecordsRoundTrip) {
    const DeviceControlRequest control = SampleControl();
    DeviceControlRequest decoded;
    ASSERT_TRUE(Decode(Encode(control), decoded));
    EXPECT_EQ(decoded.handle, 7u);
    EXPECT_EQ(decoded.code, 0x8000E000u);
    EXPECT_EQ(decoded.input, control.input);
    EXPECT_EQ(decoded.outputLength, 4u);

    NamesReply names;
    names.status = -1073741823;
    names.names = {u"C:", u"X:", u""};
    NamesReply namesBack;
    ASSERT_TRUE(Decode(Encode(names), namesBack));
    EXPECT_EQ(namesBack.status, names.status);
    EXPECT_EQ(namesBack.names, names.names);
}

TEST(Wire, EveryTruncationAndEveryExtraByteIsRefused) {
    const std::vector<std::uint8_t> body = Encode(SampleControl());
    for (std::size_t length = 0; length < body.size(); ++length) {
        DeviceControlRequest decoded;
        EXPECT_FALSE(Decode(std::span(body.data(), length), decoded)) << length;
    }
    std::vector<std::uint8_t> longer = body;
    longer.push_back(0);
    DeviceControlRequest decoded;
    EXPECT_FALSE(Decode(longer, decoded));
}

TEST(Wire, LyingLengthsAreRefusedWithoutAllocatingThem) {
    // A byte string claiming 4 GiB, and a list claiming four billion names, in a few bytes.
    const std::vector<std::uint8_t> hugeString = {7, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2};
    OpenDeviceRequest open;
    EXPECT_FALSE(Decode(hugeString, open));
    const std::vector<std::uint8_t> hugeList = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    NamesReply names;
    EXPECT_FALSE(Decode(hugeList, names));
    // UTF-16 text of an odd byte count.
    const std::vector<std::uint8_t> oddText = {3, 0, 0, 0, 'a', 0, 'b', 0, 0, 0, 0};
    EXPECT_FALSE(Decode(oddText, open));
}

class SocketPair : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        client = std::make_unique<Channel>(fds[0]);
        server = std::make_unique<Channel>(fds[1]);
    }
    void SendRaw(const void* data, std::size_t length) {
        ASSERT_EQ(::write(client->fd(), data, length), static_cast<ssize_t>(length));
    }
    std::unique_ptr<Channel> client;
    std::unique_ptr<Channel> server;
};

TEST_F(SocketPair, HeadersThatLieAreMalformed) {
    struct Case {
        std::uint32_t magic;
        std::uint16_t version;
        std::uint32_t length;
    };
    const Case cases[] = {
        {0x12345678, kVersion, 0},
        {kMagic, static_cast<std::uint16_t>(kVersion + 1), 0},
        {kMagic, kVersion, kMaxBodyBytes + 1},
    };
    for (const Case& c : cases) {
        Header header;
        header.magic = c.magic;
        header.version = c.version;
        header.length = c.length;
        SendRaw(&header, sizeof(header));
        Header received;
        std::vector<std::uint8_t> body;
        EXPECT_EQ(server->Receive(received, body), ReceiveResult::Malformed);
    }
}

TEST_F(SocketPair, ShortMessagesAndHangUps) {
    Header header;
    header.type = 2;
    header.length = 100;
    SendRaw(&header, sizeof(header));
    SendRaw("abc", 3);
    ::shutdown(client->fd(), SHUT_WR);
    Header received;
    std::vector<std::uint8_t> body;
    EXPECT_EQ(server->Receive(received, body), ReceiveResult::Malformed);
    EXPECT_EQ(server->Receive(received, body), ReceiveResult::Closed);
}

// A handler answering two requests; the others are never reached in this test.
struct EchoHandler {
    HelloReply Hello(const HelloRequest& in) { return {0, in.pid + 1}; }
    OpenDeviceReply OpenDevice(const OpenDeviceRequest& in) {
        return {0, static_cast<std::uint32_t>(in.ntName.size())};
    }
    StatusReply CloseHandle(const CloseHandleRequest&) { return {}; }
    TransferReply DeviceControl(const DeviceControlRequest&) { return {}; }
    TransferReply ReadDevice(const ReadDeviceRequest&) { return {}; }
    TransferReply WriteDevice(const WriteDeviceRequest&) { return {}; }
    StatusReply DefineDosDevice(const DefineDosDeviceRequest&) { return {}; }
    NamesReply QueryDosDevice(const QueryDosDeviceRequest&) { return {}; }
    VolumePathReply VolumePath(const VolumePathRequest&) { return {}; }
    SystemStatusReply SystemStatus(const Empty&) { return {}; }
    StatusReply Shutdown(const Empty&) { return {}; }
    FormatVolumeReply FormatVolume(const FormatVolumeRequest&) { return {}; }
};

TEST_F(SocketPair, CallsAreDispatchedAndUnknownTypesRefused) {
    std::thread serverThread([this] {
        EchoHandler handler;
        Header header;
        std::vector<std::uint8_t> body;
        while (server->Receive(header, body) == ReceiveResult::Ok) {
            std::vector<std::uint8_t> reply;
            if (Dispatch(header.type, body, handler, reply)) {
                server->Send(header.type, header.sequence, reply);
            } else {
                server->Send(kRefusedType, header.sequence, {});
            }
        }
    });
    HelloReply hello;
    EXPECT_EQ(Call<RequestType::Hello>(*client, 1, HelloRequest{41}, hello), CallResult::Ok);
    EXPECT_EQ(hello.daemonPid, 42u);
    OpenDeviceReply opened;
    EXPECT_EQ(Call<RequestType::OpenDevice>(*client, 2, OpenDeviceRequest{u"\\??\\X:", 3}, opened),
              CallResult::Ok);
    EXPECT_EQ(opened.handle, 6u);

    ASSERT_TRUE(client->Send(999, 3, {}));
    Header header;
    std::vector<std::uint8_t> body;
    ASSERT_EQ(client->Receive(header, body), ReceiveResult::Ok);
    EXPECT_EQ(header.type, kRefusedType);

    ::shutdown(client->fd(), SHUT_RDWR);
    serverThread.join();
}

}  // namespace
}  // namespace hl::protocol
