#include "alerts/AlertText.h"

#include <algorithm>
#include <ctime>

#include "platform/System.h"

const char* AlertEventName(AlertKind kind) {
    switch (kind) {
        case AlertKind::ServerDown: return "down";
        case AlertKind::Started: return "server-started";
        case AlertKind::Restarted: return "restarted";
        case AlertKind::Stopped: return "stopped";
        case AlertKind::StartFailed: return "start-failed";
        case AlertKind::BackoffMax: return "keeps-failing";
        case AlertKind::Recovered: return "recovered";
        case AlertKind::ProcwardStarted: return "started";
        case AlertKind::ProcwardStopping: return "stopping";
        case AlertKind::Unhealthy: return "unhealthy";
        case AlertKind::Healthy: return "healthy";
    }
    return "down";
}

bool AlertSelected(const std::vector<std::string>& events, AlertKind kind) {
    const auto has = [&events](const char* name) { return std::find(events.begin(), events.end(), name) != events.end(); };
    // A list written before first starts had a name of their own asked for
    // them as "restarted": it still gets them.
    if (kind == AlertKind::Started && has("restarted")) return true;
    return has(AlertEventName(kind));
}

namespace {

// The heart of an exit reason: the signal's name ("SIGSEGV"), "exit code 3",
// or the reason as it is.
std::string shortReason(const std::string& reason) {
    if (const auto sig = reason.find("(SIG"); sig != std::string::npos) {
        const auto close = reason.find(')', sig);
        if (close != std::string::npos) {
            std::string name = reason.substr(sig + 1, close - sig - 1);
            if (reason.find("core dumped") != std::string::npos) name += ", core dumped";
            return name;
        }
    }
    const std::string code = "exited with code ";
    if (reason.compare(0, code.size(), code) == 0) return "exit code " + reason.substr(code.size());
    return reason;
}

}  // namespace

std::string AlertShortText(const AlertEvent& event) {
    switch (event.kind) {
        case AlertKind::ServerDown:
            return event.name + " down" + (event.reason.empty() ? "" : " (" + shortReason(event.reason) + ")");
        case AlertKind::Started: return event.name + " started (pid " + std::to_string(event.pid) + ")";
        case AlertKind::Restarted: return event.name + " restarted (pid " + std::to_string(event.pid) + ")";
        case AlertKind::Stopped: return event.name + " stopped by the operator";
        case AlertKind::StartFailed: return event.name + " could not be started";
        case AlertKind::BackoffMax: return event.name + " keeps failing";
        case AlertKind::Recovered: return event.name + " recovered";
        case AlertKind::ProcwardStarted: return "Procward started";
        case AlertKind::ProcwardStopping: return "Procward stopping";
        case AlertKind::Unhealthy:
            return event.name + " unhealthy" + (event.reason.empty() ? "" : " (" + event.reason + ")");
        case AlertKind::Healthy: return event.name + " healthy again";
    }
    return event.message;
}

std::string AlertIsoTime(std::int64_t secondsSince1970) {
    const std::time_t time = static_cast<std::time_t>(secondsSince1970);
    std::tm utc{};
    if (!gmtime_r(&time, &utc)) return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string AlertHostName() {
    std::string name;
    if (!platform::hostName(name) || name.empty()) return "unknown host";
    return name;
}
