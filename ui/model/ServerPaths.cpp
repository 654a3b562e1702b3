#include "ui/model/ServerPaths.h"

#include "platform/System.h"

namespace {
constexpr std::size_t kReloadPrefixLength = 4;  // "svr_" in svr_Game
constexpr std::size_t kDebugPrefixLength = 9;   // "svrDebug_" in svrDebug_Game
}  // namespace

std::optional<std::string> ServerDirectory(const std::string& commandLine) {
    const std::size_t separator = commandLine.rfind(platform::pathSeparator());
    if (separator == std::string::npos) return std::nullopt;
    return commandLine.substr(0, separator + 1);
}

std::optional<std::string> ReloadScriptName(const std::string& commandLine) {
    return ReloadScriptName(commandLine, platform::executableSuffix(), platform::scriptSuffix());
}

std::optional<std::string> ReloadScriptName(const std::string& commandLine, const std::string& executableSuffix,
                                            const std::string& scriptSuffix) {
    const std::size_t separator = commandLine.rfind(platform::pathSeparator());
    if (separator == std::string::npos) return std::nullopt;

    const std::size_t firstBlank = commandLine.find(' ');
    const std::size_t lastBlank = commandLine.rfind(' ');
    std::string program;  // E
    std::string extra;    // X
    if (firstBlank == std::string::npos) {
        program = commandLine.substr(separator + 1);
    } else {
        // A blank inside the directory does not end the program part.
        program = firstBlank > separator ? commandLine.substr(separator + 1, firstBlank - separator - 1)
                                         : commandLine.substr(separator + 1);
        if (lastBlank != firstBlank) extra = "_" + commandLine.substr(lastBlank + 1);
    }

    std::string stem = program;  // T
    if (stem.size() >= executableSuffix.size()) stem.erase(stem.size() - executableSuffix.size());

    // The rule strips a fixed prefix from the stem; a shorter stem has no
    // script name, and its server is treated as one without a reload script.
    if (program.find("Debug") != std::string::npos) {
        if (stem.size() < kDebugPrefixLength) return std::nullopt;
        return "debug_reload_" + stem.substr(kDebugPrefixLength) + extra + scriptSuffix;
    }
    if (stem.size() < kReloadPrefixLength) return std::nullopt;
    return "reload_" + stem.substr(kReloadPrefixLength) + extra + scriptSuffix;
}

std::string UpdateTimeScriptName() { return "nettime" + platform::scriptSuffix(); }
