#include "platform/win32/Win32Sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>

namespace platform {
namespace {

SOCKET socketOf(SocketHandle socket) { return static_cast<SOCKET>(socket); }

timeval timeOf(std::chrono::milliseconds limit) {
    const long long ms = limit.count() > 0 ? limit.count() : 0;
    timeval tv{};
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
    return tv;
}

// select on one socket; the sets that came back ready are left in the
// arguments given.
int selectOne(SocketHandle socket, fd_set* read, fd_set* write, fd_set* except, std::chrono::milliseconds limit) {
    for (fd_set* set : {read, write, except})
        if (set) {
            FD_ZERO(set);
            FD_SET(socketOf(socket), set);
        }
    timeval tv = timeOf(limit);
    // The first argument is ignored on Windows.
    return ::select(0, read, write, except, &tv);
}

SocketWait waitFor(SocketHandle socket, bool forWriting, std::chrono::milliseconds limit) {
    fd_set ready, failed;
    const int n = forWriting ? selectOne(socket, nullptr, &ready, &failed, limit)
                             : selectOne(socket, &ready, nullptr, &failed, limit);
    if (n == SOCKET_ERROR) return SocketWait::Failed;
    if (n == 0) return SocketWait::TimedOut;
    // An error counts as ready: the send or receive that follows reports it.
    return SocketWait::Ready;
}

}  // namespace

SocketLibraryStart Win32Sockets::startup() {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return SocketLibraryStart::Unavailable;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        ::WSACleanup();
        return SocketLibraryStart::WrongVersion;
    }
    return SocketLibraryStart::Started;
}

void Win32Sockets::cleanup() { ::WSACleanup(); }

bool Win32Sockets::hostName(std::string& name) {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) return false;
    name = buffer;
    return true;
}

SocketHandle Win32Sockets::createStreamSocket() {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kNoSocket;
    // Not inherited by the servers the supervisor launches.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<SocketHandle>(s);
}

bool Win32Sockets::servicePort(const std::string& service, std::uint16_t& port) {
    const servent* entry = ::getservbyname(service.c_str(), nullptr);
    if (!entry) return false;
    port = ntohs(static_cast<u_short>(entry->s_port));
    return true;
}

bool Win32Sockets::resolveIPv4(const std::string& name, std::uint32_t& address) {
    const unsigned long dotted = ::inet_addr(name.c_str());
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

bool Win32Sockets::setNonBlocking(SocketHandle socket) {
    u_long on = 1;
    return ::ioctlsocket(socketOf(socket), FIONBIO, &on) == 0;
}

ConnectStart Win32Sockets::connect(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(address);
    target.sin_port = htons(port);
    if (::connect(socketOf(socket), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0)
        return ConnectStart::Connected;
    const int error = ::WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS ? ConnectStart::InProgress : ConnectStart::Failed;
}

ConnectWait Win32Sockets::waitConnected(SocketHandle socket, std::chrono::milliseconds limit) {
    fd_set writable, failed;
    const int n = selectOne(socket, nullptr, &writable, &failed, limit);
    if (n == SOCKET_ERROR) return ConnectWait::Failed;
    if (n == 0) return ConnectWait::TimedOut;
    if (FD_ISSET(socketOf(socket), &failed)) return ConnectWait::Refused;
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(socketOf(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        return ConnectWait::Failed;
    return error != 0 ? ConnectWait::Refused : ConnectWait::Connected;
}

SocketWait Win32Sockets::waitWritable(SocketHandle socket, std::chrono::milliseconds limit) {
    return waitFor(socket, true, limit);
}

SocketWait Win32Sockets::waitReadable(SocketHandle socket, std::chrono::milliseconds limit) {
    return waitFor(socket, false, limit);
}

long Win32Sockets::send(SocketHandle socket, const char* bytes, std::size_t count) {
    const int chunk = count > INT_MAX ? INT_MAX : static_cast<int>(count);
    const int n = ::send(socketOf(socket), bytes, chunk, 0);
    if (n == SOCKET_ERROR) return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    return n;
}

long Win32Sockets::receive(SocketHandle socket, char* bytes, std::size_t count) {
    const int chunk = count > INT_MAX ? INT_MAX : static_cast<int>(count);
    const int n = ::recv(socketOf(socket), bytes, chunk, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

void Win32Sockets::close(SocketHandle socket) {
    if (socket != kNoSocket) ::closesocket(socketOf(socket));
}

Sockets& defaultSockets() {
    static Win32Sockets instance;
    return instance;
}

}  // namespace platform
