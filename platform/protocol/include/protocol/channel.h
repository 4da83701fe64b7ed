// Messages over a connected stream socket: framing, validation and the typed calls of both ends.
#pragma once

#include <cstdint>
#include <span>

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

// The client's side: one request and its reply, in order on this channel.
template <RequestType Type>
CallResult Call(Channel& channel, std::uint32_t sequence, const typename Request<Type>::In& in,
                typename Request<Type>::Out& out) {
    const Bytes body = Encode(in);
    if (!channel.Send(static_cast<std::uint16_t>(Type), sequence, body)) {
        return CallResult::NotSent;
    }
    Header header;
    Bytes replyBody;
    if (channel.Receive(header, replyBody) != ReceiveResult::Ok) {
        return CallResult::Disconnected;
    }
    if (header.type != static_cast<std::uint16_t>(Type) || header.sequence != sequence ||
        !Decode(replyBody, out)) {
        return CallResult::Refused;
    }
    return CallResult::Ok;
}

}  // namespace hl::protocol
