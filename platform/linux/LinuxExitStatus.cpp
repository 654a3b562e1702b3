#include <signal.h>
#include <string.h>

#include "platform/ExitStatus.h"

namespace platform {

std::string signalName(int signal) {
    // The C library's table of the standard names ("KILL" for 9); the
    // real-time signals are named from the ends of their range, which the
    // library sets aside some of at run time.
    if (const char* name = ::sigabbrev_np(signal)) return std::string("SIG") + name;
    if (signal >= SIGRTMIN && signal <= SIGRTMAX) {
        if (signal == SIGRTMIN) return "SIGRTMIN";
        if (signal == SIGRTMAX) return "SIGRTMAX";
        return "SIGRTMIN+" + std::to_string(signal - SIGRTMIN);
    }
    return "signal " + std::to_string(signal);
}

std::string exitStatusText(const ExitStatus& status) {
    if (status.how == ExitStatus::How::Code) return "exited with code " + std::to_string(status.value);
    std::string text = "was killed by signal " + std::to_string(status.value) + " (" + signalName(status.value) + ")";
    if (status.coreDumped) text += " (core dumped)";
    return text;
}

}  // namespace platform
