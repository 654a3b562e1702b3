#include "platform/win32/Win32Sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <mutex>
#include <set>

#include "platform/System.h"

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

// Sockets that shutdown() has ended. A select already running on a socket
// that is still connecting does not return when another thread shuts the
// socket down (Windows drops no connect attempt for shutdown), so the waits
// below select in short slices and give up once their socket is listed.
std::mutex g_endedLock;
std::set<SocketHandle> g_ended;

bool ended(SocketHandle socket) {
    std::lock_guard<std::mutex> lock(g_endedLock);
    return g_ended.count(socket) != 0;
}

constexpr std::chrono::milliseconds kSlice{50};

// select on one socket, in slices, until it is ready, the limit passes or
// the socket is ended; the sets that came back ready are left in the
// arguments given. -2 when ended.
int selectOne(SocketHandle socket, fd_set* read, fd_set* write, fd_set* except, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (ended(socket)) return -2;
        for (fd_set* set : {read, write, except})
            if (set) {
                FD_ZERO(set);
                FD_SET(socketOf(socket), set);
            }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        timeval tv = timeOf(left < kSlice ? left : kSlice);
        // The first argument is ignored on Windows.
        const int n = ::select(0, read, write, except, &tv);
        if (n != 0 || left <= kSlice) return n;
    }
}

SocketWait waitFor(SocketHandle socket, bool forWriting, std::chrono::milliseconds limit) {
    fd_set ready, failed;
    const int n = forWriting ? selectOne(socket, nullptr, &ready, &failed, limit)
                             : selectOne(socket, &ready, nullptr, &failed, limit);
    if (n == SOCKET_ERROR) return SocketWait::Failed;
    if (n == 0) return SocketWait::TimedOut;
    // An error or an ended socket counts as ready: the send or receive that
    // follows reports it.
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
    // The name with the computer's DNS domain, when it has one: what a mail
    // server expects after EHLO.
    char full[256] = {};
    DWORD size = sizeof full;
    if (::GetComputerNameExA(ComputerNameDnsFullyQualified, full, &size) && size > 0) {
        name.assign(full, size);
        return true;
    }
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

ConnectWait Win32Sockets::waitConnected(SocketHandle socket, std::chrono::milliseconds limit, std::string& reason) {
    fd_set writable, failed;
    const int n = selectOne(socket, nullptr, &writable, &failed, limit);
    if (n == -2) {
        reason = errorText(WSAECONNABORTED);
        return ConnectWait::Refused;
    }
    if (n == SOCKET_ERROR) {
        reason = errorText(::WSAGetLastError());
        return ConnectWait::Failed;
    }
    if (n == 0) return ConnectWait::TimedOut;
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(socketOf(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        reason = errorText(::WSAGetLastError());
        return ConnectWait::Failed;
    }
    if (error != 0 || FD_ISSET(socketOf(socket), &failed)) {
        reason = errorText(error != 0 ? error : WSAECONNREFUSED);
        return ConnectWait::Refused;
    }
    return ConnectWait::Connected;
}

SocketWait Win32Sockets::waitWritable(SocketHandle socket, std::chrono::milliseconds limit) {
    return waitFor(socket, true, limit);
}

SocketWait Win32Sockets::waitReadable(SocketHandle socket, std::chrono::milliseconds limit) {
    return waitFor(socket, false, limit);
}

// An ended socket fails with an error of its own, so that the error an
// earlier call left on the thread is not taken for this one's.
long Win32Sockets::send(SocketHandle socket, const char* bytes, std::size_t count) {
    if (ended(socket)) {
        ::WSASetLastError(WSAESHUTDOWN);
        return -1;
    }
    const int chunk = count > INT_MAX ? INT_MAX : static_cast<int>(count);
    const int n = ::send(socketOf(socket), bytes, chunk, 0);
    if (n == SOCKET_ERROR) return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    return n;
}

long Win32Sockets::receive(SocketHandle socket, char* bytes, std::size_t count) {
    if (ended(socket)) {
        ::WSASetLastError(WSAESHUTDOWN);
        return -1;
    }
    const int chunk = count > INT_MAX ? INT_MAX : static_cast<int>(count);
    const int n = ::recv(socketOf(socket), bytes, chunk, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

void Win32Sockets::shutdown(SocketHandle socket) {
    if (socket == kNoSocket) return;
    {
        std::lock_guard<std::mutex> lock(g_endedLock);
        g_ended.insert(socket);
    }
    // A connected socket: sends and receives fail from now on.
    ::shutdown(socketOf(socket), SD_BOTH);
}

void Win32Sockets::close(SocketHandle socket) {
    if (socket == kNoSocket) return;
    {
        // The number may be given to a new socket once this one is closed.
        std::lock_guard<std::mutex> lock(g_endedLock);
        g_ended.erase(socket);
    }
    ::closesocket(socketOf(socket));
}

Sockets& defaultSockets() {
    static Win32Sockets instance;
    return instance;
}

// Windows Sockets keep their error apart from errno, per thread.
void clearSocketError() { ::WSASetLastError(0); }

std::string socketErrorText() {
    const int error = ::WSAGetLastError();
    return error != 0 ? errorText(error) : std::string();
}

bool receiveWouldBlock() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }

}  // namespace platform
