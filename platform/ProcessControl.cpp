#include "platform/ProcessControl.h"

namespace platform {
namespace {
ProcessControl* g_override = nullptr;
}  // namespace

ProcessControl& processControl() { return g_override ? *g_override : defaultProcessControl(); }
void setProcessControl(ProcessControl* control) { g_override = control; }

const char* stopSignalName(StopSignal kind) {
    switch (kind) {
        case StopSignal::Graceful: return "TERM";
        case StopSignal::Kill: return "KILL";
        case StopSignal::Interrupt: return "INT";
        case StopSignal::Quit: return "QUIT";
        case StopSignal::Hangup: return "HUP";
        case StopSignal::User1: return "USR1";
        case StopSignal::User2: return "USR2";
    }
    return "TERM";
}

bool stopSignalOf(const std::string& name, StopSignal& kind) {
    std::string word;
    for (char c : name) word += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (word.rfind("SIG", 0) == 0) word = word.substr(3);
    for (StopSignal each : {StopSignal::Graceful, StopSignal::Kill, StopSignal::Interrupt, StopSignal::Quit,
                            StopSignal::Hangup, StopSignal::User1, StopSignal::User2})
        if (word == stopSignalName(each)) {
            kind = each;
            return true;
        }
    return false;
}

void ProcessControl::stillRunning(const std::vector<ProcessHandle*>& processes, std::vector<char>& running) {
    running.assign(processes.size(), 0);
}

std::unique_ptr<ProcessHandle> ProcessControl::start(const LaunchRequest& /*request*/, LaunchFailure& failure) {
    failure.error = 0;
    failure.text = "this launcher cannot start held programs";
    return nullptr;
}

}  // namespace platform
