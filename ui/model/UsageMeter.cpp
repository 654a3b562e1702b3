#include "ui/model/UsageMeter.h"

#include <cstdio>

#include "platform/ProcessCpu.h"
#include "platform/ProcessMemory.h"

namespace {
// Two looks closer than this (a pass run at once after a command) say
// little about a rate: the last percentage stands until a later look.
constexpr std::chrono::milliseconds kShortestSpan{500};
}  // namespace

UsageMeter::Reading UsageMeter::readProcess(int pid) {
    return {platform::cpuSeconds(pid), platform::residentBytes(pid)};
}

UsageMeter::UsageMeter(Reader reader) : reader_(std::move(reader)) {}

void UsageMeter::measure(std::int32_t index, std::int32_t pid, Clock::TimePoint now) {
    if (pid <= 0) {
        servers_.erase(index);
        return;
    }
    const Reading reading = reader_(pid);
    Server& server = servers_[index];
    if (server.pid != pid) server = Server{pid, reading.cpuSeconds, now, std::nullopt, std::nullopt};
    server.residentBytes = reading.residentBytes;
    if (!reading.cpuSeconds) {
        // Gone between the check and the look: nothing to show until the
        // next process.
        server.cpuSeconds.reset();
        server.percent.reset();
        return;
    }
    if (!server.cpuSeconds) {
        server.cpuSeconds = reading.cpuSeconds;
        server.at = now;
        return;
    }
    const auto span = now - server.at;
    if (span < kShortestSpan) return;
    const double seconds = std::chrono::duration<double>(span).count();
    const double used = *reading.cpuSeconds - *server.cpuSeconds;
    server.percent = used > 0 ? used / seconds * 100.0 : 0.0;
    server.cpuSeconds = reading.cpuSeconds;
    server.at = now;
}

void UsageMeter::forget(const std::function<bool(std::int32_t index)>& listed) {
    for (auto it = servers_.begin(); it != servers_.end();) it = listed(it->first) ? std::next(it) : servers_.erase(it);
}

UsageMeter::Cells UsageMeter::cells(std::int32_t index, std::int32_t pid) const {
    const auto found = servers_.find(index);
    if (pid <= 0 || found == servers_.end() || found->second.pid != pid) return {};
    Cells cells;
    if (found->second.percent) cells.cpu = percentText(*found->second.percent);
    if (found->second.residentBytes) cells.memory = memoryText(*found->second.residentBytes);
    return cells;
}

std::string UsageMeter::percentText(double percent) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", percent < 0 ? 0.0 : percent);
    return text;
}

std::string UsageMeter::memoryText(std::uint64_t bytes) {
    char text[32];
    const double kb = static_cast<double>(bytes) / 1024.0;
    if (kb < 1024.0)
        std::snprintf(text, sizeof text, "%.0f KB", kb);
    else if (kb < 1024.0 * 1024.0)
        std::snprintf(text, sizeof text, "%.1f MB", kb / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.2f GB", kb / 1024.0 / 1024.0);
    return text;
}
