#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
    const Bytes body = Encode(SampleControl());
    for (std::size_t length = 0; length < body.size(); ++length) {
        DeviceControlRequest decoded;
        EXPECT_FALSE(Decode(std::span(body.data(), length), decoded)) << length;
    }
    Bytes longer = body;
    longer.push_back(0);
    DeviceControlRequest decoded;
    EXPECT_FALSE(Decode(longer, decoded));
}

TEST(Wire, LyingLengthsAreRefusedWithoutAllocatingThem) {
    // A byte string claiming 4 GiB, and a list claiming four billion names, in a few bytes.
    const Bytes hugeString = {7, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2};
    OpenDeviceRequest open;
    EXPECT_FALSE(Decode(hugeString, open));
    const Bytes hugeList = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    NamesReply names;
    EXPECT_FALSE(Decode(hugeList, names));
    // UTF-16 text of an odd byte count.
    const Bytes oddText = {3, 0, 0, 0, 'a', 0, 'b', 0, 0, 0, 0};
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
        {kMagic, kVersion, kMaxReplyBytes + 1},
    };
    for (const Case& c : cases) {
        Header header;
        header.magic = c.magic;
        header.version = c.version;
        header.length = c.length;
        SendRaw(&header, sizeof(header));
        Header received;
        Bytes body;
        EXPECT_EQ(server->Receive(received, body), ReceiveResult::Malformed);
    }
}

// The largest body of each request follows from its record's own field bounds: a record filled
// to every bound encodes to exactly that size, and one byte more in a field does not decode.
TEST(Wire, EachRequestIsBoundedByItsLargestRecord) {
    WriteDeviceRequest write;
    write.data.resize(kMaxTransferBytes);
    EXPECT_EQ(Encode(write).size(),
              MaxRequestBody(static_cast<std::uint16_t>(RequestType::WriteDevice)));
    DeviceControlRequest control;
    control.input.resize(kMaxControlBytes);
    EXPECT_EQ(Encode(control).size(),
              MaxRequestBody(static_cast<std::uint16_t>(RequestType::DeviceControl)));
    DefineDosDeviceRequest define;
    define.deviceName.resize(kMaxNameBytes / 2);
    define.targetPath.resize(kMaxNameBytes / 2);
    EXPECT_EQ(Encode(define).size(),
              MaxRequestBody(static_cast<std::uint16_t>(RequestType::DefineDosDevice)));
    EXPECT_EQ(MaxRequestBody(static_cast<std::uint16_t>(RequestType::Hello)), 4u);
    EXPECT_EQ(MaxRequestBody(static_cast<std::uint16_t>(RequestType::Shutdown)), 0u);
    EXPECT_EQ(MaxRequestBody(999), 0u);  // no such request

    // The largest of all is a write of one transfer.
    std::uint32_t largest = 0;
    for (std::uint32_t type = 0; type <= 0xFFFF; ++type) {
        largest = std::max(largest, MaxRequestBody(static_cast<std::uint16_t>(type)));
    }
    EXPECT_EQ(largest, MaxRequestBody(static_cast<std::uint16_t>(RequestType::WriteDevice)));
    EXPECT_LT(largest, kMaxTransferBytes + 64);

    write.data.push_back(0);
    WriteDeviceRequest tooLong;
    EXPECT_FALSE(Decode(Encode(write), tooLong));
    control.input.push_back(0);
    DeviceControlRequest tooLongControl;
    EXPECT_FALSE(Decode(Encode(control), tooLongControl));
}

TEST_F(SocketPair, ABodyBeyondItsTypesBoundIsRefusedBeforeAnyOfItIsAllocated) {
    // A 17-byte message whose header claims 64 MiB, for a request of 4 bytes at most.
    Header header;
    header.type = static_cast<std::uint16_t>(RequestType::Hello);
    header.length = 64u << 20;
    SendRaw(&header, sizeof(header));
    SendRaw("x", 1);
    Header received;
    Bytes body;
    EXPECT_EQ(server->Receive(received, body, MaxRequestBody), ReceiveResult::Malformed);
    EXPECT_EQ(body.capacity(), 0u);

    // The same claim for a type that is no request at all.
    header.type = 999;
    SendRaw(&header, sizeof(header));
    EXPECT_EQ(server->Receive(received, body, MaxRequestBody), ReceiveResult::Malformed);
    EXPECT_EQ(body.capacity(), 0u);
}

TEST_F(SocketPair, ABodyGrowsOnlyAsItsBytesArrive) {
    // A write that claims a whole transfer but sends three bytes and hangs up.
    Header header;
    header.type = static_cast<std::uint16_t>(RequestType::WriteDevice);
    header.length = MaxRequestBody(header.type);
    SendRaw(&header, sizeof(header));
    SendRaw("abc", 3);
    ::shutdown(client->fd(), SHUT_WR);
    Header received;
    Bytes body;
    EXPECT_EQ(server->Receive(received, body, MaxRequestBody), ReceiveResult::Malformed);
    EXPECT_LE(body.capacity(), 64u << 10);
}

TEST_F(SocketPair, AWholeBodyWithinItsBoundArrivesIntact) {
    WriteDeviceRequest write;
    write.handle = 5;
    write.data.resize(kMaxTransferBytes);
    for (std::size_t i = 0; i < write.data.size(); ++i) {
        write.data[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::thread sender([&] {
        EXPECT_TRUE(
            client->Send(static_cast<std::uint16_t>(RequestType::WriteDevice), 9, Encode(write)));
    });
    Header received;
    Bytes body;
    ASSERT_EQ(server->Receive(received, body, MaxRequestBody), ReceiveResult::Ok);
    sender.join();
    WriteDeviceRequest decoded;
    ASSERT_TRUE(Decode(body, decoded));
    EXPECT_EQ(decoded.handle, 5u);
    EXPECT_EQ(decoded.data, write.data);
}

TEST_F(SocketPair, ShortMessagesAndHangUps) {
    Header header;
    header.type = 2;
    header.length = 100;
    SendRaw(&header, sizeof(header));
    SendRaw("abc", 3);
    ::shutdown(client->fd(), SHUT_WR);
    Header received;
    Bytes body;
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
        Bytes body;
        while (server->Receive(header, body) == ReceiveResult::Ok) {
            Bytes reply;
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
    Bytes body;
    ASSERT_EQ(client->Receive(header, body), ReceiveResult::Ok);
    EXPECT_EQ(header.type, kRefusedType);

    ::shutdown(client->fd(), SHUT_RDWR);
    serverThread.join();
}

}  // namespace
}  // namespace hl::protocol
