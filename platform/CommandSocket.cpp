#include "platform/CommandSocket.h"

#include <algorithm>

namespace platform {
namespace {

// Longer lines are not commands.
constexpr std::size_t kMaxLine = 64 * 1024;

}  // namespace

const char* const kBusyAnswer = "1\nProcward is busy: too many ctl clients at once; try again\n";

int commandClientLimit(long long fileLimit) {
    return static_cast<int>(std::clamp<long long>(fileLimit / 4, 8, 128));
}

std::string progressNotice(long long seconds) {
    // Appended piece by piece: "+" + std::string sets off a false overlap
    // warning (-Wrestrict) in MinGW's g++ 12 at -O3.
    std::string notice(1, '+');
    notice += std::to_string(seconds);
    notice += '\n';
    return notice;
}

bool takeProgressNotice(std::string& received, long long& seconds) {
    if (received.empty() || received[0] != '+') return false;
    const std::size_t newline = received.find('\n');
    if (newline == std::string::npos) return false;
    const std::string digits = received.substr(1, newline - 1);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    seconds = std::stoll(digits);
    received.erase(0, newline + 1);
    return true;
}

bool takeRequestLine(std::string& in, bool ended, std::string& line, bool& refused) {
    refused = false;
    const std::size_t newline = in.find('\n');
    if (newline == std::string::npos && !ended) {
        refused = in.size() > kMaxLine;
        return false;
    }
    if (newline == std::string::npos && in.empty()) {  // left without a word
        refused = true;
        return false;
    }
    line = in.substr(0, newline);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    in.clear();
    return true;
}

}  // namespace platform
