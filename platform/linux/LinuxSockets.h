#pragma once
#include "platform/Sockets.h"

namespace platform {

// POSIX sockets. There is no library to start; sends use MSG_NOSIGNAL so a
// peer that has gone gives an error instead of SIGPIPE.
class LinuxSockets : public Sockets {
public:
    SocketLibraryStart startup() override;
    void cleanup() override;
    bool hostName(std::string& name) override;
    SocketHandle createStreamSocket() override;
    bool servicePort(const std::string& service, std::uint16_t& port) override;
    bool resolveIPv4(const std::string& name, std::uint32_t& address) override;
    bool setNonBlocking(SocketHandle socket) override;
    ConnectStart connect(SocketHandle socket, std::uint32_t address, std::uint16_t port) override;
    ConnectWait waitConnected(SocketHandle socket, std::chrono::milliseconds limit, std::string& reason) override;
    SocketWait waitWritable(SocketHandle socket, std::chrono::milliseconds limit) override;
    SocketWait waitReadable(SocketHandle socket, std::chrono::milliseconds limit) override;
    long send(SocketHandle socket, const char* bytes, std::size_t count) override;
    long receive(SocketHandle socket, char* bytes, std::size_t count) override;
    void shutdown(SocketHandle socket) override;
    void close(SocketHandle socket) override;
};

}  // namespace platform
