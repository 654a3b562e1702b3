#include "platform/ProcessControl.h"

namespace platform {
namespace {
ProcessControl* g_override = nullptr;
}  // namespace

ProcessControl& processControl() { return g_override ? *g_override : defaultProcessControl(); }
void setProcessControl(ProcessControl* control) { g_override = control; }

std::unique_ptr<ProcessHandle> ProcessControl::start(const LaunchRequest& /*request*/, LaunchFailure& failure) {
    failure.error = 0;
    failure.text = "this launcher cannot start held programs";
    return nullptr;
}

}  // namespace platform
