#include "platform/TcpTable.h"

namespace platform {
namespace {
TcpTable* g_override = nullptr;
}  // namespace

bool listenerBefore(const TcpListener& a, const TcpListener& b) {
    if (a.family != b.family) return a.family == AddressFamily::IPv4;
    if (a.family == AddressFamily::IPv4) {
        if (a.localAddress != b.localAddress) return a.localAddress < b.localAddress;
    } else if (a.localAddress6 != b.localAddress6) {
        return a.localAddress6 < b.localAddress6;
    }
    return a.localPort < b.localPort;
}

bool TcpTable::listenersOf(int pid, std::vector<TcpListener>& out) {
    out.clear();
    const std::unique_ptr<ListenerSnapshot> table = snapshot();
    return table && table->listenersOf(pid, out);
}

TcpTable& tcpTable() { return g_override ? *g_override : defaultTcpTable(); }
void setTcpTable(TcpTable* table) { g_override = table; }

}  // namespace platform
