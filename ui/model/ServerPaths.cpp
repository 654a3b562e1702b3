#include "ui/model/ServerPaths.h"

#include "platform/LaunchTarget.h"
#include "platform/System.h"

namespace {
constexpr std::size_t kReloadPrefixLength = 4;  // "svr_" in svr_Game
constexpr std::size_t kDebugPrefixLength = 9;   // "svrDebug_" in svrDebug_Game

// Both separators count: the Windows launcher takes either.
std::size_t lastSeparator(const std::string& path) {
    return path.find_last_of(std::string(1, platform::pathSeparator()) + "/");
}
}  // namespace

std::optional<std::string> ServerProgram(const std::string& commandLine, const std::string& exeName) {
    platform::LaunchTarget target;
    if (!platform::readLaunchTarget(commandLine, exeName, target) || target.programPaths.empty()) return std::nullopt;
    const std::string& written = target.programPaths.front();
    // A bare name is found on the search path; the file found (links
    // resolved) is where the program lives.
    if (lastSeparator(written) == std::string::npos && target.programPaths.size() > 1) return target.programPaths[1];
    return written;
}

std::optional<std::string> ServerDirectory(const std::string& commandLine, const std::string& exeName) {
    const std::optional<std::string> program = ServerProgram(commandLine, exeName);
    if (!program) return std::nullopt;
    const std::size_t separator = lastSeparator(*program);
    if (separator == std::string::npos) return std::nullopt;
    return program->substr(0, separator + 1);
}

std::optional<std::string> ReloadScriptName(const std::string& commandLine, const std::string& exeName) {
    return ReloadScriptName(commandLine, exeName, platform::executableSuffix(), platform::scriptSuffix());
}

std::optional<std::string> ReloadScriptName(const std::string& commandLine, const std::string& exeName,
                                            const std::string& executableSuffix, const std::string& scriptSuffix) {
    const std::optional<std::string> path = ServerProgram(commandLine, exeName);
    if (!path) return std::nullopt;
    const std::size_t separator = lastSeparator(*path);
    if (separator == std::string::npos) return std::nullopt;
    const std::string program = path->substr(separator + 1);  // E

    // The arguments: the text after the program's name where the command
    // line spells it (a closing quote right after it belongs to it).
    std::string arguments;
    if (const std::size_t at = commandLine.find(program); at != std::string::npos) {
        std::size_t end = at + program.size();
        if (end < commandLine.size() && (commandLine[end] == '"' || commandLine[end] == '\'')) ++end;
        arguments = commandLine.substr(end);
    }
    std::string extra;  // X
    const std::size_t firstBlank = arguments.find(' ');
    const std::size_t lastBlank = arguments.rfind(' ');
    if (firstBlank != std::string::npos && lastBlank != firstBlank) extra = "_" + arguments.substr(lastBlank + 1);

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
