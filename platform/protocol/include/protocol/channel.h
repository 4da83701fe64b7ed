// Messages over a connected stream socket: framing, validation and the typed calls of both ends.
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

#include "protocol/messages.h"
#include "protocol/wire.h"

namespace hl::protocol {

enum class ReceiveResult {
    Ok,
    Closed,     // the peer went away between messages
    Malformed,  // bad magic or version, a body too large, or a message cut short
};

// The most a message of `type` may carry.
using BodyBound = std::uint32_t (*)(std::uint16_t type);
inline std::uint32_t AnyReply(std::uint16_t) {
    return kMaxReplyBytes;
}

// One end of a connection; owns the socket.
class Channel {
public:
    explicit Channel(int fd) : fd_(fd) {}
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Connects to a daemon's socket; nullptr-like (invalid) when nobody listens there.
    static int Connect(const char* socketPath);

    bool Send(std::uint16_t type, std::uint32_t sequence, std::span<const std::uint8_t> body);
    // A body longer than `bound` allows for its type is malformed before any of it is read, and
    // the body's buffer grows only as its bytes arrive: a header's claim alone costs nothing.
    ReceiveResult Receive(Header& header, Bytes& body, BodyBound bound = AnyReply);
    int fd() const { return fd_; }

private:
    int fd_;
};

// The daemon's side: decodes a request, lets `handler` answer it and encodes the reply. A
// handler has one member per request, named after it, taking the request record and returning
// the reply record. False when the type is unknown or the body does not decode exactly.
template <typename Handler>
bool Dispatch(std::uint16_t type, std::span<const std::uint8_t> body, Handler& handler,
              Bytes& reply) {
    switch (static_cast<RequestType>(type)) {
#define HL_PROTOCOL_DISPATCH(name, number, request, response) \
    case RequestType::name: {                                 \
        request in;                                           \
        if (!Decode(body, in)) {                              \
            return false;                                     \
        }                                                     \
        reply = Encode(handler.name(in));                     \
        return true;                                          \
    }
        HL_PROTOCOL_REQUESTS(HL_PROTOCOL_DISPATCH)
#undef HL_PROTOCOL_DISPATCH
    }
    return false;
}

enum class CallResult {
    Ok,
    NotSent,       // the connection was already gone: the request never left
    Disconnected,  // the peer went away before it replied
    Refused,
};

// One encoded request and its encoded reply, in order on `channel`.
CallResult Exchange(Channel& channel, std::uint16_t type, std::uint32_t sequence,
                    std::span<const std::uint8_t> body, Bytes& reply);

// How a client's requests reach a kernel: over a daemon's socket, or straight to a session in
// the same process. Either way a request and its reply are the encoded messages of this protocol.
class Transport {
public:
    virtual ~Transport() = default;
    virtual CallResult Exchange(std::uint16_t type, std::uint32_t sequence,
                                std::span<const std::uint8_t> body, Bytes& reply) = 0;
};

// The socket transport.
class ChannelTransport : public Transport {
public:
    explicit ChannelTransport(int fd) : channel_(fd) {}
    CallResult Exchange(std::uint16_t type, std::uint32_t sequence,
                        std::span<const std::uint8_t> body, Bytes& reply) override {
        return protocol::Exchange(channel_, type, sequence, body, reply);
    }

private:
    Channel channel_;
};

// The client's side: one request and its reply.
template <RequestType Type, typename Link>
CallResult Call(Link& link, std::uint32_t sequence, const typename Request<Type>::In& in,
                typename Request<Type>::Out& out) {
    const Bytes body = Encode(in);
    Bytes replyBody;
    CallResult result;
    if constexpr (std::is_base_of_v<Transport, Link>) {
        result = link.Exchange(static_cast<std::uint16_t>(Type), sequence, body, replyBody);
    } else {
        result = Exchange(link, static_cast<std::uint16_t>(Type), sequence, body, replyBody);
    }
    if (result != CallResult::Ok) {
        return result;
    }
    return Decode(replyBody, out) ? CallResult::Ok : CallResult::Refused;
}

}  // namespace hl::protocol
