#include "platform/win32/Win32TcpTable.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace platform {
namespace {

using GetExtendedTcpTableFunction = DWORD(WINAPI*)(PVOID, PDWORD, BOOL, ULONG, TCP_TABLE_CLASS, ULONG);

constexpr std::size_t kRowSize = 24;
constexpr std::size_t kRow6Size = 56;
// The table may grow between asking its size and reading it.
constexpr int kReadAttempts = 3;

GetExtendedTcpTableFunction tableFunction() {
    static std::atomic<GetExtendedTcpTableFunction> cached{nullptr};
    if (GetExtendedTcpTableFunction function = cached.load()) return function;
    HMODULE library = ::LoadLibraryA("Iphlpapi.dll");
    if (!library) return nullptr;
    auto function = reinterpret_cast<GetExtendedTcpTableFunction>(
        reinterpret_cast<void*>(::GetProcAddress(library, "GetExtendedTcpTable")));
    if (function) cached.store(function);
    return function;
}

std::uint32_t wordAt(const unsigned char* bytes) {
    std::uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

class Win32ListenerSnapshot : public ListenerSnapshot {
public:
    explicit Win32ListenerSnapshot(std::vector<Win32TcpTable::Row> rows) : rows_(std::move(rows)) {}
    bool listenersOf(int pid, std::vector<TcpListener>& out) override {
        Win32TcpTable::listenersAmong(rows_, pid, out);
        return true;
    }

private:
    std::vector<Win32TcpTable::Row> rows_;
};

}  // namespace

bool Win32TcpTable::parseOwnerPidTable(const unsigned char* bytes, std::size_t size, std::vector<Row>& rows) {
    rows.clear();
    if (!bytes || size < 4) return false;
    const std::uint32_t count = wordAt(bytes);
    if ((size - 4) / kRowSize < count) return false;
    rows.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const unsigned char* row = bytes + 4 + kRowSize * i;
        Row parsed;
        parsed.state = wordAt(row);
        parsed.listener.localAddress = ntohl(wordAt(row + 4));
        parsed.listener.localPort = ntohs(static_cast<std::uint16_t>(wordAt(row + 8) & 0xFFFF));
        parsed.owningPid = wordAt(row + 20);
        rows.push_back(parsed);
    }
    return true;
}

bool Win32TcpTable::parseOwnerPid6Table(const unsigned char* bytes, std::size_t size, std::vector<Row>& rows) {
    if (!bytes || size < 4) return false;
    const std::uint32_t count = wordAt(bytes);
    if ((size - 4) / kRow6Size < count) return false;
    rows.reserve(rows.size() + count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const unsigned char* row = bytes + 4 + kRow6Size * i;
        Row parsed;
        parsed.listener.family = AddressFamily::IPv6;
        std::memcpy(parsed.listener.localAddress6.data(), row, 16);
        parsed.listener.localPort = ntohs(static_cast<std::uint16_t>(wordAt(row + 20) & 0xFFFF));
        parsed.state = wordAt(row + 48);
        parsed.owningPid = wordAt(row + 52);
        rows.push_back(parsed);
    }
    return true;
}

void Win32TcpTable::listenersAmong(const std::vector<Row>& rows, int pid, std::vector<TcpListener>& out) {
    out.clear();
    for (const Row& row : rows)
        if (row.state == kListening && row.owningPid == static_cast<std::uint32_t>(pid)) out.push_back(row.listener);
    std::sort(out.begin(), out.end(), listenerBefore);
}

bool Win32TcpTable::readRawTable(AddressFamily family, std::vector<unsigned char>& bytes) {
    const GetExtendedTcpTableFunction function = tableFunction();
    if (!function) return false;
    const ULONG af = family == AddressFamily::IPv4 ? AF_INET : AF_INET6;
    DWORD size = 0;
    DWORD result = function(nullptr, &size, TRUE, af, TCP_TABLE_OWNER_PID_LISTENER, 0);
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        if (result != ERROR_INSUFFICIENT_BUFFER && result != NO_ERROR) return false;
        bytes.assign(size > 4 ? size : 4, 0);
        DWORD room = static_cast<DWORD>(bytes.size());
        result = function(bytes.data(), &room, TRUE, af, TCP_TABLE_OWNER_PID_LISTENER, 0);
        if (result == NO_ERROR) {
            return true;
        }
        size = room;
    }
    return false;
}

std::unique_ptr<ListenerSnapshot> Win32TcpTable::snapshot() {
    std::vector<unsigned char> bytes;
    std::vector<Row> rows;
    if (!readRawTable(AddressFamily::IPv4, bytes) || !parseOwnerPidTable(bytes.data(), bytes.size(), rows))
        return nullptr;
    // Without IPv6 on the machine there is no second table.
    if (readRawTable(AddressFamily::IPv6, bytes)) parseOwnerPid6Table(bytes.data(), bytes.size(), rows);
    return std::make_unique<Win32ListenerSnapshot>(std::move(rows));
}

std::string ipv6Text(const std::array<std::uint8_t, 16>& address) {
    char text[INET6_ADDRSTRLEN];
    in6_addr value;
    std::memcpy(&value, address.data(), 16);
    if (!::inet_ntop(AF_INET6, &value, text, sizeof text)) return {};
    return text;
}

TcpTable& defaultTcpTable() {
    static Win32TcpTable table;
    return table;
}

}  // namespace platform
