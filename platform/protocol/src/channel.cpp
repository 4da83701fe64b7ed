#include "protocol/channel.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace hl::protocol {
namespace {

bool WriteAll(int fd, const void* data, std::size_t length) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        const ssize_t written = ::send(fd, p, length, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        p += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

// Reads exactly `length` bytes; `got` tells how many arrived before an end or an error.
bool ReadAll(int fd, void* data, std::size_t length, std::size_t& got) {
    auto* p = static_cast<std::uint8_t*>(data);
    got = 0;
    while (got < length) {
        const ssize_t n = ::recv(fd, p + got, length - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

Channel::~Channel() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int Channel::Connect(const char* socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(socketPath) >= sizeof(address.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::strcpy(address.sun_path, socketPath);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

std::uint32_t MaxRequestBody(std::uint16_t type) {
    switch (static_cast<RequestType>(type)) {
#define HL_PROTOCOL_BOUND(name, number, request, reply) \
    case RequestType::name:                             \
        return static_cast<std::uint32_t>(MaxEncodedSize<request>());
        HL_PROTOCOL_REQUESTS(HL_PROTOCOL_BOUND)
#undef HL_PROTOCOL_BOUND
    }
    return 0;
}

bool Channel::Send(std::uint16_t type, std::uint32_t sequence, std::span<const std::uint8_t> body) {
    if (body.size() > kMaxReplyBytes) {
        return false;
    }
    Header header;
    header.type = type;
    header.length = static_cast<std::uint32_t>(body.size());
    header.sequence = sequence;
    return WriteAll(fd_, &header, sizeof(header)) && WriteAll(fd_, body.data(), body.size());
}

ReceiveResult Channel::Receive(Header& header, Bytes& body, BodyBound bound) {
    // What the last message left here goes before anything else arrives.
    Bytes().swap(body);
    std::size_t got = 0;
    if (!ReadAll(fd_, &header, sizeof(header), got)) {
        return got == 0 ? ReceiveResult::Closed : ReceiveResult::Malformed;
    }
    if (header.magic != kMagic || header.version != kVersion ||
        header.length > bound(header.type)) {
        return ReceiveResult::Malformed;
    }
    constexpr std::size_t kStep = 64u << 10;
    while (body.size() < header.length) {
        const std::size_t at = body.size();
        const std::size_t step = std::min<std::size_t>(kStep, header.length - at);
        body.resize(at + step);
        if (!ReadAll(fd_, body.data() + at, step, got)) {
            return ReceiveResult::Malformed;
        }
    }
    return ReceiveResult::Ok;
}

CallResult Exchange(Channel& channel, std::uint16_t type, std::uint32_t sequence,
                    std::span<const std::uint8_t> body, Bytes& reply) {
    if (!channel.Send(type, sequence, body)) {
        return CallResult::NotSent;
    }
    Header header;
    if (channel.Receive(header, reply) != ReceiveResult::Ok) {
        return CallResult::Disconnected;
    }
    if (header.type != type || header.sequence != sequence) {
        return CallResult::Refused;
    }
    return CallResult::Ok;
}

}  // namespace hl::protocol
