#include "platform/ProcessControl.h"

namespace platform {
namespace {
ProcessControl* g_override = nullptr;
}  // namespace

ProcessControl& processControl() { return g_override ? *g_override : defaultProcessControl(); }
void setProcessControl(ProcessControl* control) { g_override = control; }

}  // namespace platform
