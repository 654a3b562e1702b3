#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/TcpTable.h"

namespace platform {

// The machine's IPv4 TCP table from GetExtendedTcpTable (looked up at run
// time in Iphlpapi.dll), every state, with owning process IDs, sorted by
// local address and port.
class Win32TcpTable : public TcpTable {
public:
    // One row of the table, in host byte order.
    struct Row {
        std::uint32_t state = 0;  // 2: listening
        std::uint32_t localAddress = 0;
        std::uint16_t localPort = 0;
        std::uint32_t owningPid = 0;
    };
    static constexpr std::uint32_t kListening = 2;

    // Reads the table once. Null when the function cannot be found or the
    // table cannot be read.
    std::unique_ptr<ListenerSnapshot> snapshot() override;

    // The rows of a MIB_TCPTABLE_OWNER_PID as the system lays it out: a
    // 32-bit row count, then 24-byte rows of state, local address (network
    // order), local port (network order, low 16 bits), remote address,
    // remote port and owning process ID. False when `size` bytes cannot
    // hold the rows the count announces.
    static bool parseOwnerPidTable(const unsigned char* bytes, std::size_t size, std::vector<Row>& rows);

    // The listening rows of one owner, in table order.
    static void listenersAmong(const std::vector<Row>& rows, int pid, std::vector<TcpListener>& out);

    // The table's raw bytes; false when it cannot be read.
    static bool readRawTable(std::vector<unsigned char>& bytes);
};

}  // namespace platform
