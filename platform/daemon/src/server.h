// The daemon's socket: one thread per client connection, each with a session of its own that
// answers its requests and releases what the client held when it goes. No client can starve the
// others: connections are bounded per user and in all, a message body by the largest request of
// its type, and a failing accept is retried after a growing pause instead of at once.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
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
                        protocol::Bytes& reply) = 0;
};

using SessionFactory = std::function<std::unique_ptr<Session>(const PeerIdentity&)>;

// Each connection is served by a thread of its own, so these bound the daemon's threads too.
// One user's processes (the tray program, the shell extension, the script engine and whatever
// they start) each hold one connection.
inline constexpr std::size_t kMaxConnectionsPerUser = 64;
inline constexpr std::size_t kMaxConnections = 512;

struct ServerLimits {
    std::size_t perUser = kMaxConnectionsPerUser;
    std::size_t total = kMaxConnections;
};

// The pause before the next accept after one failed for want of descriptors or memory: doubling
// from 10 ms to at most one second, and back to none after an accept succeeds.
class AcceptBackoff {
public:
    static constexpr std::chrono::milliseconds kFirst{10};
    static constexpr std::chrono::milliseconds kLongest{1000};
    std::chrono::milliseconds Next();
    void Reset() { delay_ = std::chrono::milliseconds{0}; }

private:
    std::chrono::milliseconds delay_{0};
};

// Seams for tests: how a connection is accepted, and how the server pauses after a failed accept
// (the pause ends early when the server is stopped).
struct ServerHooks {
    std::function<int(int listenFd)> accept;
    std::function<void(std::chrono::milliseconds)> pause;
};

class Server {
public:
    Server(std::filesystem::path socketPath, SessionFactory factory, ServerLimits limits = {},
           ServerHooks hooks = {});
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
    void Admit(int fd);
    void Pause(std::chrono::milliseconds delay);

    std::filesystem::path socketPath_;
    SessionFactory factory_;
    ServerLimits limits_;
    ServerHooks hooks_;
    int listenFd_ = -1;
    int wakeFd_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::list<std::unique_ptr<Connection>> connections_;
};

// The identity of a connected peer: credentials from SO_PEERCRED, groups from /proc.
bool ReadPeerIdentity(int fd, PeerIdentity& identity);

}  // namespace hl::daemon
