#include <cstdint>
#include <cstdio>

#include "platform/ExitStatus.h"

namespace platform {
namespace {

// The NTSTATUS values a crashed or interrupted program commonly ends with.
const char* knownStatus(std::uint32_t code) {
    switch (code) {
        case 0xC0000005u:
            return "access violation";
        case 0xC00000FDu:
            return "stack overflow";
        case 0xC000013Au:
            return "Ctrl-C";
        default:
            return nullptr;
    }
}

}  // namespace

std::string signalName(int signal) { return "signal " + std::to_string(signal); }

std::string exitStatusText(const ExitStatus& status) {
    if (status.how == ExitStatus::How::Signal) return "was killed by signal " + std::to_string(status.value);
    const auto code = static_cast<std::uint32_t>(status.value);
    // Status codes (warnings and errors have the top bit set) read best in
    // hexadecimal, as the system documents them; ordinary codes in decimal.
    std::string text;
    if (code & 0x80000000u) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
        text = "exited with code " + std::string(hex);
    } else {
        text = "exited with code " + std::to_string(code);
    }
    if (const char* name = knownStatus(code)) text += std::string(" (") + name + ")";
    return text;
}

}  // namespace platform
