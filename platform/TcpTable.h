#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class AddressFamily : std::uint8_t { IPv4, IPv6 };

// One TCP socket in the listening state.
struct TcpListener {
    std::uint32_t localAddress = 0;  // IPv4, host byte order; 0 for IPv6
    std::uint16_t localPort = 0;     // host byte order
    AddressFamily family = AddressFamily::IPv4;
    std::array<std::uint8_t, 16> localAddress6{};  // IPv6, network byte order; zero for IPv4
};

// The order listeners are given in: IPv4 before IPv6; within a family by
// local address (as a number for IPv4, byte by byte for IPv6), then by
// local port, ascending.
bool listenerBefore(const TcpListener& a, const TcpListener& b);

// An IPv6 address in the system's compressed text form ("::1", "::",
// "::ffff:127.0.0.1").
std::string ipv6Text(const std::array<std::uint8_t, 16>& address);

// The machine's listening sockets at one moment, read once and shared by
// every look-up of a check pass. It must not outlive the table it came from.
class ListenerSnapshot {
public:
    virtual ~ListenerSnapshot() = default;
    // The listening sockets (IPv4 and IPv6) owned by a process, in the
    // order of listenerBefore. False when the process's share cannot be read.
    virtual bool listenersOf(int pid, std::vector<TcpListener>& out) = 0;
    // A number that changes whenever a listening socket has appeared since
    // an earlier snapshot of the same table (a process that listens nowhere
    // now can only be found listening after it has changed); empty where
    // the table cannot tell.
    virtual std::optional<std::uint64_t> arrivals() const { return std::nullopt; }
    // A number that changes whenever the set of listening sockets differs
    // from that of the snapshot before (one appeared or went); empty where
    // the table cannot tell. While it stays the same, what a process's
    // listeners were in an earlier snapshot is what they still are, as far
    // as the table can tell.
    virtual std::optional<std::uint64_t> changes() const { return std::nullopt; }
};

class TcpTable {
public:
    virtual ~TcpTable() = default;

    // Reads the machine's listening sockets once; null when they cannot be
    // read. What the table learns of their owners may be kept for later
    // snapshots.
    virtual std::unique_ptr<ListenerSnapshot> snapshot() = 0;

    // One process's listeners from a table read for this call alone.
    virtual bool listenersOf(int pid, std::vector<TcpListener>& out);
};

TcpTable& tcpTable();
void setTcpTable(TcpTable* table);

// The machine's own, from the platform folder CMake chooses.
TcpTable& defaultTcpTable();

}  // namespace platform
