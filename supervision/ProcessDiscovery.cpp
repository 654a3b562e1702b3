#include "supervision/ProcessDiscovery.h"

#include "platform/System.h"
#include "platform/Text.h"

namespace {

const std::string kDefaultServerArgument = "/ServerID 11";

// The system keeps a process's short name cut to this many bytes.
constexpr std::size_t kShortNameLength = 15;

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of(platform::pathSeparator());
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string trimBlanks(const std::string& text) {
    const auto begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return {};
    const auto end = text.find_last_not_of(' ');
    return text.substr(begin, end - begin + 1);
}

}  // namespace

bool formMatchKeys(const std::string& processname, const std::string& commandline, MatchKeys& keys) {
    const std::string& suffix = platform::executableSuffix();
    keys.exeName = processname;
    if (!suffix.empty()) {
        const auto at = keys.exeName.find(suffix);
        if (at == std::string::npos || at + suffix.size() != keys.exeName.size()) keys.exeName += suffix;
    }
    if (keys.exeName.empty()) return false;
    const auto at = commandline.find(keys.exeName);
    if (at == std::string::npos) return false;
    keys.exePath = commandline.substr(0, at + keys.exeName.size());
    const auto blank = commandline.find(' ');
    keys.arguments = blank == std::string::npos ? std::string() : trimBlanks(commandline.substr(blank));
    return true;
}

std::int32_t findServerProcess(const std::string& exeName, const std::string& exePath, const std::string& arguments) {
    platform::ProcessSnapshot snapshot;
    if (!platform::processTable().snapshot(snapshot)) return 0;
    return findServerProcess(snapshot, exeName, exePath, arguments);
}

std::int32_t findServerProcess(const platform::ProcessSnapshot& snapshot, const std::string& exeName,
                               const std::string& exePath, const std::string& arguments) {
    platform::ProcessTable& table = platform::processTable();
    for (const platform::ProcessEntry& entry : snapshot) {
        // The image path (the absolute path the process was started by) is
        // read at most once per candidate.
        std::string image;
        bool imageTried = false, imageRead = false;
        auto readImage = [&] {
            if (!imageTried) {
                imageTried = true;
                imageRead = table.imagePath(entry.pid, image);
            }
            return imageRead;
        };

        bool nameMatches = platform::equalsNoCase(entry.exeFile, exeName);
        if (!nameMatches && platform::equalsNoCase(entry.shortName, exeName.substr(0, kShortNameLength))) {
            // Started through a link named differently from its image.
            nameMatches = readImage() && platform::equalsNoCase(baseName(image), exeName);
        }
        if (!nameMatches) continue;

        std::string module;
        bool pathMatches = table.modulePath(entry.pid, module) && platform::equalsNoCase(module, exePath);
        if (!pathMatches) pathMatches = readImage() && platform::equalsNoCase(image, exePath);
        if (!pathMatches) continue;

        std::string procArgs;
        readProcessArguments(entry.pid, procArgs);
        if ((arguments == kDefaultServerArgument && procArgs.empty()) ||
            (arguments.empty() && procArgs == kDefaultServerArgument))
            procArgs = arguments;
        if (platform::equalsNoCase(arguments, procArgs)) return entry.pid;
    }
    return 0;
}

std::string argumentText(const std::string& processCommandLine) {
    std::string text;
    text.reserve(processCommandLine.size());
    for (const char c : processCommandLine)
        if (c != '"') text += c;
    const auto blank = text.find(' ');
    if (blank == std::string::npos) return {};
    return platform::trimWhite(std::string_view(text).substr(blank));
}

bool readProcessArguments(std::int32_t processId, std::string& text) {
    std::string commandLine;
    if (!platform::processTable().commandLine(processId, commandLine)) return false;
    text = argumentText(commandLine);
    return true;
}
