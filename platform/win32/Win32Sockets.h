#pragma once
#include "platform/Sockets.h"

namespace platform {

// Windows Sockets 2.2: each startup is a WSAStartup asking for 2.2 and each
// cleanup a WSACleanup; non-blocking mode through ioctlsocket(FIONBIO), waits
// through select. A wait selects in slices of 50 ms so that shutdown() from
// another thread ends it even while the socket is still connecting, which a
// Windows shutdown alone does not.
class Win32Sockets : public Sockets {
public:
    SocketLibraryStart startup() override;
    void cleanup() override;
    bool hostName(std::string& name) override;
    SocketHandle createStreamSocket() override;
    bool servicePort(const std::string& service, std::uint16_t& port) override;
    bool resolveIPv4(const std::string& name, std::uint32_t& address) override;
    bool setNonBlocking(SocketHandle socket) override;
    ConnectStart connect(SocketHandle socket, std::uint32_t address, std::uint16_t port) override;
    // A connection that fails is reported in select's exception set.
    ConnectWait waitConnected(SocketHandle socket, std::chrono::milliseconds limit, std::string& reason) override;
    SocketWait waitWritable(SocketHandle socket, std::chrono::milliseconds limit) override;
    SocketWait waitReadable(SocketHandle socket, std::chrono::milliseconds limit) override;
    long send(SocketHandle socket, const char* bytes, std::size_t count) override;
    long receive(SocketHandle socket, char* bytes, std::size_t count) override;
    void shutdown(SocketHandle socket) override;
    void close(SocketHandle socket) override;
};

}  // namespace platform
