#pragma once
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

// One IPv4 TCP socket in the listening state.
struct TcpListener {
    std::uint32_t localAddress = 0;  // host byte order
    std::uint16_t localPort = 0;     // host byte order
};

// The machine's listening sockets at one moment, read once and shared by
// every look-up of a check pass.
class ListenerSnapshot {
public:
    virtual ~ListenerSnapshot() = default;
    // The IPv4 listening sockets owned by a process, ordered by local
    // address, then local port, ascending. False when the process's share
    // cannot be read.
    virtual bool listenersOf(int pid, std::vector<TcpListener>& out) = 0;
};

class TcpTable {
public:
    virtual ~TcpTable() = default;

    // Reads the machine's table once; null when it cannot be read.
    virtual std::unique_ptr<ListenerSnapshot> snapshot() = 0;

    // One process's listeners from a table read for this call alone.
    virtual bool listenersOf(int pid, std::vector<TcpListener>& out);
};

TcpTable& tcpTable();
void setTcpTable(TcpTable* table);

// The machine's own, from the platform folder CMake chooses.
TcpTable& defaultTcpTable();

}  // namespace platform
