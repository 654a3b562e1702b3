#include "platform/ProcessTable.h"

namespace platform {
namespace {
ProcessTable* g_override = nullptr;
}  // namespace

ProcessTable& processTable() { return g_override ? *g_override : defaultProcessTable(); }
void setProcessTable(ProcessTable* table) { g_override = table; }

}  // namespace platform
