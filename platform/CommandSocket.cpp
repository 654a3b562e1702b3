#include "platform/CommandSocket.h"

namespace platform {
namespace {

// Longer lines are not commands.
constexpr std::size_t kMaxLine = 64 * 1024;

}  // namespace

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
