#include "server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

namespace hl::daemon {

struct Server::Connection {
    std::uint32_t uid = 0;
    std::unique_ptr<protocol::Channel> channel;
    std::thread thread;
    std::atomic<bool> finished{false};
};

bool ReadPeerIdentity(int fd, PeerIdentity& identity) {
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return false;
    }
    identity.pid = credentials.pid;
    identity.uid = credentials.uid;
    identity.gid = credentials.gid;
    identity.groups.clear();
    std::ifstream status("/proc/" + std::to_string(credentials.pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Groups:", 0) == 0) {
            std::istringstream groups(line.substr(7));
            std::uint32_t group = 0;
            while (groups >> group) {
                identity.groups.push_back(group);
            }
        }
    }
    return true;
}

std::chrono::milliseconds AcceptBackoff::Next() {
    delay_ = delay_.count() == 0 ? kFirst : std::min(delay_ * 2, kLongest);
    return delay_;
}

Server::Server(std::filesystem::path socketPath, SessionFactory factory, ServerLimits limits,
               ServerHooks hooks)
    : socketPath_(std::move(socketPath)),
      factory_(std::move(factory)),
      limits_(limits),
      hooks_(std::move(hooks)) {}

Server::~Server() {
    Stop();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(socketPath_.c_str());
    }
    for (int fd : wakeFd_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool Server::Listen() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath_.string();
    if (path.size() >= sizeof(address.sun_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::strcpy(address.sun_path, path.c_str());
    ::unlink(path.c_str());  // a socket left by a daemon that was killed
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || ::pipe2(wakeFd_, O_CLOEXEC) != 0) {
        return false;
    }
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return false;
    }
    ::chmod(path.c_str(), 0666);  // every user of the system may talk to its kernel
    return ::listen(listenFd_, 64) == 0;
}

void Server::Run() {
    AcceptBackoff backoff;
    while (!stopping_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) {
            break;
        }
        ReapFinished();
        if (stopping_ || (fds[0].revents & POLLIN) == 0) {
            continue;
        }
        const int fd = hooks_.accept ? hooks_.accept(listenFd_)
                                     : ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            backoff.Reset();
            Admit(fd);
        } else if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
            // Out of descriptors or memory: the waiting client stays queued, and accepting again
            // at once would only spin until something is released.
            Pause(backoff.Next());
        }
    }
}

void Server::Pause(std::chrono::milliseconds delay) {
    if (hooks_.pause) {
        hooks_.pause(delay);
        return;
    }
    pollfd wake = {wakeFd_[0], POLLIN, 0};
    ::poll(&wake, 1, static_cast<int>(delay.count()));
}

void Server::Admit(int fd) {
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        ::close(fd);
        return;
    }
    std::lock_guard lock(mutex_);
    std::size_t ofUser = 0;
    for (const auto& connection : connections_) {
        ofUser += connection->uid == credentials.uid ? 1 : 0;
    }
    if (ofUser >= limits_.perUser || connections_.size() >= limits_.total) {
        ::close(fd);  // the client sees the connection end before any answer
        return;
    }
    auto connection = std::make_unique<Connection>();
    connection->uid = credentials.uid;
    connection->channel = std::make_unique<protocol::Channel>(fd);
    Connection& ref = *connection;
    connections_.push_back(std::move(connection));
    try {
        ref.thread = std::thread([this, &ref] { Serve(ref); });
    } catch (const std::system_error&) {
        connections_.pop_back();  // no thread to be had: this client goes, the others stay
    }
}

void Server::Serve(Connection& connection) {
    PeerIdentity peer;
    protocol::Channel& channel = *connection.channel;
    if (ReadPeerIdentity(channel.fd(), peer)) {
        std::unique_ptr<Session> session = factory_(peer);
        protocol::Header header;
        protocol::Bytes body;
        while (!stopping_) {
            const protocol::ReceiveResult received =
                channel.Receive(header, body, protocol::MaxRequestBody);
            if (received != protocol::ReceiveResult::Ok) {
                // A broken frame cannot be resynchronised: refuse it and drop the client.
                if (received == protocol::ReceiveResult::Malformed) {
                    channel.Send(protocol::kRefusedType, header.sequence, {});
                }
                break;
            }
            protocol::Bytes reply;
            const bool answered = session->Handle(header.type, body, reply);
            if (!channel.Send(answered ? header.type : protocol::kRefusedType, header.sequence,
                              answered ? std::span<const std::uint8_t>(reply)
                                       : std::span<const std::uint8_t>())) {
                break;
            }
        }
    }
    // The session (and all the client held) is gone before the connection counts as finished.
    connection.finished = true;
}

void Server::ReapFinished() {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::RequestStop() {
    stopping_ = true;
    if (wakeFd_[1] >= 0) {
        (void)!::write(wakeFd_[1], "x", 1);
    }
}

void Server::Stop() {
    RequestStop();
    std::lock_guard lock(mutex_);
    for (auto& connection : connections_) {
        ::shutdown(connection->channel->fd(), SHUT_RDWR);
    }
    for (auto& connection : connections_) {
        connection->thread.join();
    }
    connections_.clear();
}

}  // namespace hl::daemon
