#include "platform/TcpTable.h"

namespace platform {
namespace {
TcpTable* g_override = nullptr;
}  // namespace

TcpTable& tcpTable() { return g_override ? *g_override : defaultTcpTable(); }
void setTcpTable(TcpTable* table) { g_override = table; }

}  // namespace platform
