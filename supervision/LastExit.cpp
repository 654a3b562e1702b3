#include "supervision/LastExit.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

std::string withPart(std::int64_t major, const char* majorUnit, std::int64_t minor, const char* minorUnit) {
    std::string text = std::to_string(major) + " " + majorUnit;
    if (minor > 0) text += " " + std::to_string(minor) + " " + minorUnit;
    return text;
}

}  // namespace

std::string LastExit::reason() const {
    std::string text;
    if (status)
        text = platform::exitStatusText(*status);
    else if (launchedHere)
        text = "exit status unknown";  // collected by something else before it could be read
    else
        text = "exit status unknown (not started by this Procward)";
    if (!detail.empty()) text += "; " + detail;
    return text;
}

std::string LastExit::logLine(const std::string& name) const { return name + " " + summary(); }

std::string LastExit::summary() const {
    if (!status) return "ended; " + reason();
    std::string line = reason();
    if (ran) line += " after " + durationText(*ran);
    return line;
}

std::string LastExit::durationText(Clock::Duration duration) {
    using namespace std::chrono;
    const std::int64_t ms = std::max<std::int64_t>(0, duration_cast<milliseconds>(duration).count());
    if (ms < 10000) {
        char text[32];
        // Tenths, cut rather than rounded, so that 9.96 s never reads as 10.0 s.
        std::snprintf(text, sizeof text, "%lld.%lld s", static_cast<long long>(ms / 1000),
                      static_cast<long long>(ms % 1000 / 100));
        return text;
    }
    const std::int64_t s = ms / 1000;
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return withPart(s / 60, "min", s % 60, "s");
    if (s < 86400) return withPart(s / 3600, "h", s % 3600 / 60, "min");
    return withPart(s / 86400, "d", s % 86400 / 3600, "h");
}
