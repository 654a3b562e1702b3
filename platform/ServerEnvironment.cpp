#include "platform/ServerEnvironment.h"

#include <cstdlib>
#include <string_view>

#include "platform/Text.h"

namespace platform {
namespace {

// Read while the program loads, before anything (the service manager's
// notifier among them) has had a chance to change the environment.
const bool g_startedByServiceManager = std::getenv("INVOCATION_ID") != nullptr || std::getenv("NOTIFY_SOCKET") != nullptr;

bool same(std::string_view a, std::string_view b, bool foldCase) { return foldCase ? equalsNoCase(a, b) : a == b; }

bool startsWith(std::string_view name, std::string_view prefix, bool foldCase) {
    return name.size() >= prefix.size() && same(name.substr(0, prefix.size()), prefix, foldCase);
}

std::string_view nameOf(std::string_view entry) {
    // On Windows the per-drive directories are kept as "=C:=C:\dir": the
    // name ends at the second '='.
    const auto equals = entry.find('=', entry.empty() || entry[0] != '=' ? 0 : 1);
    return equals == std::string_view::npos ? entry : entry.substr(0, equals);
}

}  // namespace

bool ServerEnvironment::startedByServiceManager() { return g_startedByServiceManager; }

bool ServerEnvironment::isOwnVariable(const std::string& name, bool startedByServiceManager, bool foldCase) {
    for (const char* exact : {"NOTIFY_SOCKET", "WATCHDOG_PID", "WATCHDOG_USEC"})
        if (same(name, exact, foldCase)) return true;
    if (startsWith(name, "LISTEN_", foldCase) || startsWith(name, "PROCWARD_", foldCase)) return true;
    if (!startedByServiceManager) return false;
    // The directories the service manager made for the supervisor's unit.
    for (const char* directory : {"XDG_RUNTIME_DIR", "STATE_DIRECTORY", "LOGS_DIRECTORY", "CONFIGURATION_DIRECTORY",
                                  "RUNTIME_DIRECTORY", "CACHE_DIRECTORY"})
        if (same(name, directory, foldCase)) return true;
    return false;
}

std::vector<std::string> ServerEnvironment::build(const std::vector<std::string>& own, bool startedByServiceManager,
                                                  const std::vector<std::pair<std::string, std::string>>& extra,
                                                  bool foldCase) {
    std::vector<std::string> result;
    result.reserve(own.size() + extra.size());
    for (const std::string& entry : own)
        if (!isOwnVariable(std::string(nameOf(entry)), startedByServiceManager, foldCase)) result.push_back(entry);
    for (const auto& [name, value] : extra) {
        if (name.empty() || name.find('=') != std::string::npos) continue;  // not a variable name
        std::string entry = name + "=" + value;
        bool replaced = false;
        for (std::string& existing : result) {
            if (same(nameOf(existing), name, foldCase)) {
                existing = entry;
                replaced = true;
                break;
            }
        }
        if (!replaced) result.push_back(std::move(entry));
    }
    return result;
}

}  // namespace platform
