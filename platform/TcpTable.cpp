#include "platform/TcpTable.h"

namespace platform {
namespace {
TcpTable* g_override = nullptr;
}  // namespace

bool TcpTable::listenersOf(int pid, std::vector<TcpListener>& out) {
    out.clear();
    const std::unique_ptr<ListenerSnapshot> table = snapshot();
    return table && table->listenersOf(pid, out);
}

TcpTable& tcpTable() { return g_override ? *g_override : defaultTcpTable(); }
void setTcpTable(TcpTable* table) { g_override = table; }

}  // namespace platform
