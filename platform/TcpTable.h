#pragma once
#include <cstdint>
#include <vector>

namespace platform {

// One IPv4 TCP socket in the listening state.
struct TcpListener {
    std::uint32_t localAddress = 0;  // host byte order
    std::uint16_t localPort = 0;     // host byte order
};

class TcpTable {
public:
    virtual ~TcpTable() = default;

    // The IPv4 listening sockets owned by a process, ordered by local
    // address, then local port, ascending. False when the table cannot be read.
    virtual bool listenersOf(int pid, std::vector<TcpListener>& out) = 0;
};

TcpTable& tcpTable();
void setTcpTable(TcpTable* table);

// The machine's own, from the platform folder CMake chooses.
TcpTable& defaultTcpTable();

}  // namespace platform
