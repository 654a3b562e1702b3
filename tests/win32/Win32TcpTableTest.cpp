// The TCP table: rows parsed as the system lays them out (recorded rows),
// and the real table of a listening test server where the system reports
// owning processes.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32/Win32TcpTable.h"
#include "tests/support/TempDir.h"
#include "tests/win32/support/WinTestServer.h"

namespace {

using Row = platform::Win32TcpTable::Row;

// One MIB_TCPROW_OWNER_PID as the system writes it: addresses and ports in
// network byte order.
void appendRow(std::string& bytes, std::uint32_t state, const char* address, std::uint16_t port, std::uint32_t pid) {
    std::uint32_t fields[6] = {state, inet_addr(address), htons(port), inet_addr("10.1.2.3"), htons(40000), pid};
    bytes.append(reinterpret_cast<const char*>(fields), sizeof fields);
}

std::string table(const std::string& rows, std::uint32_t count) {
    std::string bytes(reinterpret_cast<const char*>(&count), 4);
    return bytes + rows;
}

std::vector<Row> parse(const std::string& bytes, bool& ok) {
    std::vector<Row> rows;
    ok = platform::Win32TcpTable::parseOwnerPidTable(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                    bytes.size(), rows);
    return rows;
}

}  // namespace

TEST(Win32TcpTableTest, RecordedRowsAreReadInHostOrder) {
    std::string rows;
    appendRow(rows, 2, "0.0.0.0", 7000, 42);
    appendRow(rows, 5, "127.0.0.1", 7001, 42);  // established
    appendRow(rows, 2, "192.168.10.20", 65535, 4242);
    bool ok = false;
    const std::vector<Row> parsed = parse(table(rows, 3), ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(3u, parsed.size());
    EXPECT_EQ(2u, parsed[0].state);
    EXPECT_EQ(0u, parsed[0].localAddress);
    EXPECT_EQ(7000, parsed[0].localPort);
    EXPECT_EQ(42u, parsed[0].owningPid);
    EXPECT_EQ(0x7F000001u, parsed[1].localAddress);
    EXPECT_EQ(0xC0A80A14u, parsed[2].localAddress);
    EXPECT_EQ(65535, parsed[2].localPort);
    EXPECT_EQ(4242u, parsed[2].owningPid);
}

TEST(Win32TcpTableTest, ATableShorterThanItsCountIsRefused) {
    std::string rows;
    appendRow(rows, 2, "0.0.0.0", 7000, 42);
    bool ok = true;
    parse(table(rows, 2), ok);
    EXPECT_FALSE(ok);
    parse(table(rows.substr(0, 23), 1), ok);
    EXPECT_FALSE(ok);
    parse(std::string("\x01\x00", 2), ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(parse(table("", 0), ok).empty());
    EXPECT_TRUE(ok);
    // Room for more rows than counted: only the counted ones are read.
    EXPECT_EQ(1u, parse(table(rows + rows, 1), ok).size());
    EXPECT_TRUE(ok);
}

TEST(Win32TcpTableTest, AProcessListensOnItsOwnListeningRowsInTableOrder) {
    std::string rows;
    appendRow(rows, 2, "0.0.0.0", 7000, 42);
    appendRow(rows, 2, "0.0.0.0", 7001, 42);
    appendRow(rows, 5, "0.0.0.0", 7002, 42);    // a connection, not a listener
    appendRow(rows, 2, "0.0.0.0", 7003, 43);    // another process
    appendRow(rows, 2, "127.0.0.1", 9000, 42);
    bool ok = false;
    const std::vector<Row> parsed = parse(table(rows, 5), ok);
    ASSERT_TRUE(ok);
    std::vector<platform::TcpListener> listeners;
    platform::Win32TcpTable::listenersAmong(parsed, 42, listeners);
    ASSERT_EQ(3u, listeners.size());
    EXPECT_EQ(7000, listeners[0].localPort);
    EXPECT_EQ(7001, listeners[1].localPort);
    EXPECT_EQ(0x7F000001u, listeners[2].localAddress);
    EXPECT_EQ(9000, listeners[2].localPort);
    platform::Win32TcpTable::listenersAmong(parsed, 44, listeners);
    EXPECT_TRUE(listeners.empty());
}

TEST(Win32TcpTableTest, TheMachinesTableShowsARealListenerOfItsOwner) {
    TempDir dir;
    const int port = freePort();
    ASSERT_GT(port, 0);
    const std::string exe = WinTestServer::copyProgram(dir, "listener.exe");
    WinTestServer server(dir, exe + " --listen 127.0.0.1:" + std::to_string(port));
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(acceptsConnections(port));

    std::vector<unsigned char> bytes;
    ASSERT_TRUE(platform::Win32TcpTable::readRawTable(bytes));
    std::vector<Row> rows;
    ASSERT_TRUE(platform::Win32TcpTable::parseOwnerPidTable(bytes.data(), bytes.size(), rows));
    const Row* row = nullptr;
    for (const Row& r : rows)
        if (r.state == platform::Win32TcpTable::kListening && r.localPort == port) row = &r;
    if (!row) GTEST_SKIP() << "the system's TCP table does not list the listener on port " << port;
    if (row->owningPid != static_cast<std::uint32_t>(server.pid()))
        GTEST_SKIP() << "the system's TCP table does not report owning processes (listener on port " << port
                     << " owned by " << row->owningPid << ", expected " << server.pid() << ")";
    EXPECT_EQ(0x7F000001u, row->localAddress);

    platform::Win32TcpTable tcp;
    std::vector<platform::TcpListener> listeners;
    ASSERT_TRUE(tcp.listenersOf(server.pid(), listeners));
    ASSERT_EQ(1u, listeners.size());
    EXPECT_EQ(port, listeners[0].localPort);
}
