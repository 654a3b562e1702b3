#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/TcpTable.h"

namespace platform {

// The machine's listening TCP sockets, IPv4 and IPv6, from
// GetExtendedTcpTable (looked up at run time in Iphlpapi.dll) with owning
// process IDs. Only listeners are asked for: the tables do not grow with
// the connections the servers hold. The system names each socket's owner,
// so nothing needs to be kept between snapshots.
class Win32TcpTable : public TcpTable {
public:
    // One row of a table.
    struct Row {
        std::uint32_t state = 0;  // 2: listening
        TcpListener listener;     // host byte order (the IPv6 address as the system gives it)
        std::uint32_t owningPid = 0;
    };
    static constexpr std::uint32_t kListening = 2;

    // Reads both tables once. Null when the function cannot be found or the
    // IPv4 table cannot be read; a system without IPv6 lists IPv4 alone.
    std::unique_ptr<ListenerSnapshot> snapshot() override;

    // The rows of a MIB_TCPTABLE_OWNER_PID as the system lays it out: a
    // 32-bit row count, then 24-byte rows of state, local address (network
    // order), local port (network order, low 16 bits), remote address,
    // remote port and owning process ID. False when `size` bytes cannot
    // hold the rows the count announces.
    static bool parseOwnerPidTable(const unsigned char* bytes, std::size_t size, std::vector<Row>& rows);

    // The rows of a MIB_TCP6TABLE_OWNER_PID, appended: a 32-bit row count,
    // then 56-byte rows of local address (16 bytes), local scope ID, local
    // port (network order, low 16 bits), remote address (16 bytes), remote
    // scope ID, remote port, state and owning process ID. False as above.
    static bool parseOwnerPid6Table(const unsigned char* bytes, std::size_t size, std::vector<Row>& rows);

    // The listening rows of one owner, in the order of listenerBefore.
    static void listenersAmong(const std::vector<Row>& rows, int pid, std::vector<TcpListener>& out);

    // The raw bytes of the table of listeners of one family; false when it
    // cannot be read.
    static bool readRawTable(AddressFamily family, std::vector<unsigned char>& bytes);
};

}  // namespace platform
