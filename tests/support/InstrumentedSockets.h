#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Sockets.h"

// The machine's sockets with a recorder in front, installed as the
// platform's sockets while the object lives. It counts library starts and
// releases, records the ports connected to, and can fail the calls a test
// machine cannot make fail (library start, host name, socket creation,
// non-blocking mode), answer the service look-up itself, or send every
// connection to a port of 127.0.0.1 of the test's choosing. It keeps every
// byte that went out and came in.
class InstrumentedSockets : public platform::Sockets {
public:
    InstrumentedSockets();
    ~InstrumentedSockets() override;

    // Faults and substitutes.
    platform::SocketLibraryStart startResult = platform::SocketLibraryStart::Started;
    bool failHostName = false;
    bool failSocket = false;
    bool failNonBlocking = false;
    std::optional<std::optional<std::uint16_t>> serviceAnswer;  // set: the look-up's answer (nullopt: no such service)
    std::uint16_t redirectPort = 0;  // non-zero: connect to 127.0.0.1 at this port instead

    // What happened.
    int startups = 0;
    int cleanups = 0;
    int created = 0;
    int closed = 0;
    int shutdowns = 0;
    std::vector<std::string> servicesLookedUp;
    std::vector<std::uint16_t> connectPorts;  // as asked for, before any redirect
    std::vector<std::uint32_t> connectAddresses;
    // Every byte sent and received through the sockets, in order.
    std::string sentBytes() const;
    std::string receivedBytes() const;

    platform::SocketLibraryStart startup() override;
    void cleanup() override;
    bool hostName(std::string& name) override;
    platform::SocketHandle createStreamSocket() override;
    bool servicePort(const std::string& service, std::uint16_t& port) override;
    bool resolveIPv4(const std::string& name, std::uint32_t& address) override;
    bool setNonBlocking(platform::SocketHandle socket) override;
    platform::ConnectStart connect(platform::SocketHandle socket, std::uint32_t address, std::uint16_t port) override;
    platform::ConnectWait waitConnected(platform::SocketHandle socket, std::chrono::milliseconds limit,
                                        std::string& reason) override;
    platform::SocketWait waitWritable(platform::SocketHandle socket, std::chrono::milliseconds limit) override;
    platform::SocketWait waitReadable(platform::SocketHandle socket, std::chrono::milliseconds limit) override;
    long send(platform::SocketHandle socket, const char* bytes, std::size_t count) override;
    long receive(platform::SocketHandle socket, char* bytes, std::size_t count) override;
    void shutdown(platform::SocketHandle socket) override;
    void close(platform::SocketHandle socket) override;

private:
    platform::Sockets& real_;
    mutable std::mutex mutex_;
    std::string sent_;
    std::string received_;
};
