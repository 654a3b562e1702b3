#include "platform/Shell.h"

namespace platform {
namespace {
Shell* g_override = nullptr;
}  // namespace

Shell& shell() { return g_override ? *g_override : defaultShell(); }
void setShell(Shell* shell) { g_override = shell; }

}  // namespace platform
