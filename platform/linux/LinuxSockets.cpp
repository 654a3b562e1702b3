#include "platform/linux/LinuxSockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/System.h"

namespace platform {
namespace {

int fdOf(SocketHandle socket) { return static_cast<int>(socket); }

// poll with a limit that holds across interruptions by signals.
int pollFor(int fd, short events, std::chrono::milliseconds limit, short& revents) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd entry{fd, events, 0};
        const int n = ::poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n < 0 && errno == EINTR) continue;
        revents = entry.revents;
        return n;
    }
}

SocketWait waitFor(SocketHandle socket, short events, std::chrono::milliseconds limit) {
    short revents = 0;
    const int n = pollFor(fdOf(socket), events, limit, revents);
    if (n < 0) return SocketWait::Failed;
    if (n == 0) return SocketWait::TimedOut;
    // An error or hang-up counts as ready: the send or receive that follows
    // reports it.
    return SocketWait::Ready;
}

}  // namespace

SocketLibraryStart LinuxSockets::startup() { return SocketLibraryStart::Started; }

void LinuxSockets::cleanup() {}

bool LinuxSockets::hostName(std::string& name) {
    if (!platform::hostName(name)) return false;
    // The canonical name the resolver gives the host name, when that is a
    // longer one with a domain: what a mail server expects after EHLO.
    if (name.find('.') != std::string::npos) return true;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found) return true;
    if (found->ai_canonname) {
        const std::string canonical = found->ai_canonname;
        if (canonical.find('.') != std::string::npos && canonical.compare(0, name.size(), name) == 0 &&
            canonical[name.size()] == '.')
            name = canonical;
    }
    ::freeaddrinfo(found);
    return true;
}

SocketHandle LinuxSockets::createStreamSocket() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? kNoSocket : fd;
}

bool LinuxSockets::servicePort(const std::string& service, std::uint16_t& port) {
    const servent* entry = ::getservbyname(service.c_str(), nullptr);
    if (!entry) return false;
    port = ntohs(static_cast<std::uint16_t>(entry->s_port));
    return true;
}

bool LinuxSockets::resolveIPv4(const std::string& name, std::uint32_t& address) {
    const in_addr_t dotted = ::inet_addr(name.c_str());
    if (dotted != INADDR_NONE) {
        address = ntohl(dotted);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
    bool found = false;
    for (const addrinfo* entry = result; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr) {
            address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
            found = true;
            break;
        }
    }
    ::freeaddrinfo(result);
    return found;
}

bool LinuxSockets::setNonBlocking(SocketHandle socket) {
    const int flags = ::fcntl(fdOf(socket), F_GETFL, 0);
    return flags >= 0 && ::fcntl(fdOf(socket), F_SETFL, flags | O_NONBLOCK) == 0;
}

ConnectStart LinuxSockets::connect(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(address);
    target.sin_port = htons(port);
    int rc;
    do {
        rc = ::connect(fdOf(socket), reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return ConnectStart::Connected;
    return errno == EINPROGRESS ? ConnectStart::InProgress : ConnectStart::Failed;
}

ConnectWait LinuxSockets::waitConnected(SocketHandle socket, std::chrono::milliseconds limit, std::string& reason) {
    short revents = 0;
    const int n = pollFor(fdOf(socket), POLLOUT, limit, revents);
    if (n < 0) {
        reason = std::strerror(errno);
        return ConnectWait::Failed;
    }
    if (n == 0) return ConnectWait::TimedOut;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fdOf(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        reason = std::strerror(errno);
        return ConnectWait::Failed;
    }
    if (error != 0 || (revents & (POLLERR | POLLHUP))) {
        // A connect abandoned by shutdown() leaves no error behind.
        reason = std::strerror(error != 0 ? error : ECONNABORTED);
        return ConnectWait::Refused;
    }
    return ConnectWait::Connected;
}

SocketWait LinuxSockets::waitWritable(SocketHandle socket, std::chrono::milliseconds limit) {
    return waitFor(socket, POLLOUT, limit);
}

SocketWait LinuxSockets::waitReadable(SocketHandle socket, std::chrono::milliseconds limit) {
    return waitFor(socket, POLLIN, limit);
}

long LinuxSockets::send(SocketHandle socket, const char* bytes, std::size_t count) {
    ssize_t n;
    do {
        n = ::send(fdOf(socket), bytes, count, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return static_cast<long>(n);
}

long LinuxSockets::receive(SocketHandle socket, char* bytes, std::size_t count) {
    ssize_t n;
    do {
        n = ::recv(fdOf(socket), bytes, count, 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

void LinuxSockets::shutdown(SocketHandle socket) {
    // Wakes every poll on the socket; for a connect in progress the kernel
    // drops the attempt.
    if (socket != kNoSocket) ::shutdown(fdOf(socket), SHUT_RDWR);
}

void LinuxSockets::close(SocketHandle socket) {
    if (socket != kNoSocket) ::close(fdOf(socket));
}

Sockets& defaultSockets() {
    static LinuxSockets instance;
    return instance;
}

void clearSocketError() { errno = 0; }

std::string socketErrorText() { return errno != 0 ? std::string(std::strerror(errno)) : std::string(); }

bool receiveWouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

}  // namespace platform
