// The daemon's socket: one thread per client connection, each with a session of its own that
// answers its requests and releases what the client held when it goes.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/channel.h"

namespace hl::daemon {

// Who is at the other end of a connection, from the socket itself.
struct PeerIdentity {
    pid_t pid = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::vector<std::uint32_t> groups;
};

// Answers one client's requests; destroyed when the client goes.
class Session {
public:
    virtual ~Session() = default;
    // Decodes, answers and encodes one request; false when the request is unknown or its body
    // does not decode (the client is then told its message was refused).
    virtual bool Handle(std::uint16_t type, std::span<const std::uint8_t> body,
                        std::vector<std::uint8_t>& reply) = 0;
};

using SessionFactory = std::function<std::unique_ptr<Session>(const PeerIdentity&)>;

class Server {
public:
    Server(std::filesystem::path socketPath, SessionFactory factory);
    ~Server();  // stops
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens; false (errno set) when the socket cannot be made.
    bool Listen();
    // Accepts clients until Stop; returns then.
    void Run();
    // Makes Run return soon; safe from any thread, a session's included.
    void RequestStop();
    // Ends Run, closes every connection and waits for their threads; not from a session.
    void Stop();

private:
    struct Connection;
    void Serve(Connection& connection);
    void ReapFinished();

    std::filesystem::path socketPath_;
    SessionFactory factory_;
    int listenFd_ = -1;
    int wakeFd_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::list<std::unique_ptr<Connection>> connections_;
};

// The identity of a connected peer: credentials from SO_PEERCRED, groups from /proc.
bool ReadPeerIdentity(int fd, PeerIdentity& identity);

}  // namespace hl::daemon
