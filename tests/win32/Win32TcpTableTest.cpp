// The TCP tables: rows parsed as the system lays them out (recorded rows of
// both families), and the real tables of a listening test server where the
// system reports owning processes.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32/Win32TcpTable.h"
#include "tests/support/TempDir.h"
#include "tests/win32/support/WinTestServer.h"

namespace {

using Row = platform::Win32TcpTable::Row;
using platform::AddressFamily;

// One MIB_TCPROW_OWNER_PID as the system writes it: addresses and ports in
// network byte order.
void appendRow(std::string& bytes, std::uint32_t state, const char* address, std::uint16_t port, std::uint32_t pid) {
    std::uint32_t fields[6] = {state, inet_addr(address), htons(port), inet_addr("10.1.2.3"), htons(40000), pid};
    bytes.append(reinterpret_cast<const char*>(fields), sizeof fields);
}

// One MIB_TCP6ROW_OWNER_PID: local address, scope, port, remote address,
// scope, port, state, owner.
void appendRow6(std::string& bytes, std::uint32_t state, const char* address, std::uint16_t port, std::uint32_t pid) {
    in6_addr local{}, remote{};
    inet_pton(AF_INET6, address, &local);
    inet_pton(AF_INET6, "2001:db8::1", &remote);
    const std::uint32_t localPort = htons(port), remotePort = htons(40000), scope = 0;
    bytes.append(reinterpret_cast<const char*>(&local), 16);
    bytes.append(reinterpret_cast<const char*>(&scope), 4);
    bytes.append(reinterpret_cast<const char*>(&localPort), 4);
    bytes.append(reinterpret_cast<const char*>(&remote), 16);
    bytes.append(reinterpret_cast<const char*>(&scope), 4);
    bytes.append(reinterpret_cast<const char*>(&remotePort), 4);
    bytes.append(reinterpret_cast<const char*>(&state), 4);
    bytes.append(reinterpret_cast<const char*>(&pid), 4);
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

bool parse6(const std::string& bytes, std::vector<Row>& rows) {
    return platform::Win32TcpTable::parseOwnerPid6Table(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                       bytes.size(), rows);
}

std::string text(const platform::TcpListener& listener) {
    if (listener.family == AddressFamily::IPv6) {
        std::string bracketed(1, '[');
        bracketed += platform::ipv6Text(listener.localAddress6);
        bracketed += "]:";
        bracketed += std::to_string(listener.localPort);
        return bracketed;
    }
    const std::uint32_t a = listener.localAddress;
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
           "." + std::to_string(a & 0xFF) + ":" + std::to_string(listener.localPort);
}

std::vector<std::string> texts(const std::vector<platform::TcpListener>& listeners) {
    std::vector<std::string> out;
    for (const auto& listener : listeners) out.push_back(text(listener));
    return out;
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
    EXPECT_EQ(0u, parsed[0].listener.localAddress);
    EXPECT_EQ(7000, parsed[0].listener.localPort);
    EXPECT_EQ(42u, parsed[0].owningPid);
    EXPECT_EQ(0x7F000001u, parsed[1].listener.localAddress);
    EXPECT_EQ(0xC0A80A14u, parsed[2].listener.localAddress);
    EXPECT_EQ(65535, parsed[2].listener.localPort);
    EXPECT_EQ(4242u, parsed[2].owningPid);
    EXPECT_EQ(AddressFamily::IPv4, parsed[2].listener.family);
}

TEST(Win32TcpTableTest, RecordedIpv6RowsAreAppendedWithTheirAddressAsGiven) {
    std::string rows6;
    appendRow6(rows6, 2, "::1", 8000, 42);
    appendRow6(rows6, 2, "::ffff:127.0.0.1", 65535, 4242);
    std::string rows4;
    appendRow(rows4, 2, "0.0.0.0", 7000, 42);
    bool ok = false;
    std::vector<Row> parsed = parse(table(rows4, 1), ok);
    ASSERT_TRUE(ok);
    ASSERT_TRUE(parse6(table(rows6, 2), parsed));
    ASSERT_EQ(3u, parsed.size());
    EXPECT_EQ("0.0.0.0:7000", text(parsed[0].listener));
    EXPECT_EQ("[::1]:8000", text(parsed[1].listener));
    EXPECT_EQ(2u, parsed[1].state);
    EXPECT_EQ(42u, parsed[1].owningPid);
    EXPECT_EQ("[::ffff:127.0.0.1]:65535", text(parsed[2].listener));
    EXPECT_EQ(4242u, parsed[2].owningPid);

    // A table shorter than its count adds nothing.
    EXPECT_FALSE(parse6(table(rows6.substr(0, 55), 1), parsed));
    EXPECT_FALSE(parse6(table(rows6, 3), parsed));
    EXPECT_EQ(3u, parsed.size());
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

TEST(Win32TcpTableTest, AProcessListensOnItsOwnListeningRowsIpv4FirstInAddressOrder) {
    std::string rows;
    appendRow(rows, 2, "127.0.0.1", 9000, 42);
    appendRow(rows, 2, "0.0.0.0", 7001, 42);
    appendRow(rows, 5, "0.0.0.0", 7002, 42);    // a connection, not a listener
    appendRow(rows, 2, "0.0.0.0", 7003, 43);    // another process
    appendRow(rows, 2, "0.0.0.0", 7000, 42);
    std::string rows6;
    appendRow6(rows6, 2, "::1", 8000, 42);
    appendRow6(rows6, 2, "::", 8001, 42);
    appendRow6(rows6, 2, "::", 7000, 43);       // another process on the same port
    bool ok = false;
    std::vector<Row> parsed = parse(table(rows, 5), ok);
    ASSERT_TRUE(ok);
    ASSERT_TRUE(parse6(table(rows6, 3), parsed));
    std::vector<platform::TcpListener> listeners;
    platform::Win32TcpTable::listenersAmong(parsed, 42, listeners);
    EXPECT_EQ((std::vector<std::string>{"0.0.0.0:7000", "0.0.0.0:7001", "127.0.0.1:9000", "[::]:8001", "[::1]:8000"}),
              texts(listeners));
    platform::Win32TcpTable::listenersAmong(parsed, 43, listeners);
    EXPECT_EQ((std::vector<std::string>{"0.0.0.0:7003", "[::]:7000"}), texts(listeners));
    platform::Win32TcpTable::listenersAmong(parsed, 44, listeners);
    EXPECT_TRUE(listeners.empty());
}

TEST(Win32TcpTableTest, TheMachinesTablesShowTheRealListenersOfTheirOwner) {
    TempDir dir;
    const int port = freePort();
    ASSERT_GT(port, 0);
    const std::string exe = WinTestServer::copyProgram(dir, "listener.exe");
    WinTestServer server(dir, exe + " --listen 127.0.0.1:" + std::to_string(port) + " --listen [::1]:" +
                                  std::to_string(port));
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(acceptsConnections(port));

    // Each family's table of listeners lists the server's socket.
    const Row* rows4 = nullptr;
    const Row* rows6 = nullptr;
    std::vector<unsigned char> bytes;
    std::vector<Row> rows;
    ASSERT_TRUE(platform::Win32TcpTable::readRawTable(AddressFamily::IPv4, bytes));
    ASSERT_TRUE(platform::Win32TcpTable::parseOwnerPidTable(bytes.data(), bytes.size(), rows));
    const std::size_t ipv4Rows = rows.size();
    ASSERT_TRUE(platform::Win32TcpTable::readRawTable(AddressFamily::IPv6, bytes));
    ASSERT_TRUE(platform::Win32TcpTable::parseOwnerPid6Table(bytes.data(), bytes.size(), rows));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(platform::Win32TcpTable::kListening, rows[i].state);  // listeners only
        if (rows[i].listener.localPort == port) (i < ipv4Rows ? rows4 : rows6) = &rows[i];
    }
    ASSERT_NE(nullptr, rows4);
    ASSERT_NE(nullptr, rows6);
    EXPECT_EQ("127.0.0.1:" + std::to_string(port), text(rows4->listener));
    EXPECT_EQ("[::1]:" + std::to_string(port), text(rows6->listener));

    if (rows4->owningPid != static_cast<std::uint32_t>(server.pid()))
        GTEST_SKIP() << "the system's TCP table does not report owning processes (listener on port " << port
                     << " owned by " << rows4->owningPid << ", expected " << server.pid() << ")";
    EXPECT_EQ(static_cast<std::uint32_t>(server.pid()), rows6->owningPid);
    platform::Win32TcpTable tcp;
    std::vector<platform::TcpListener> listeners;
    ASSERT_TRUE(tcp.listenersOf(server.pid(), listeners));
    EXPECT_EQ((std::vector<std::string>{"127.0.0.1:" + std::to_string(port), "[::1]:" + std::to_string(port)}),
              texts(listeners));
}
