#include "supervision/ProcessDiscovery.h"

#include "platform/LaunchTarget.h"
#include "platform/System.h"
#include "platform/Text.h"
#include "supervision/MachineLook.h"

namespace {

const std::string kDefaultServerArgument = "/ServerID 11";

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of(platform::pathSeparator());
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i) text += ' ';
        text += words[i];
    }
    return text;
}

bool isDefaultServerArgument(const std::vector<std::string>& words) { return joined(words) == kDefaultServerArgument; }

bool sameWords(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!platform::equalsNoCase(a[i], b[i])) return false;
    return true;
}

bool hasFileName(const MatchKeys& keys, const std::string& fileName) {
    for (const std::string& name : keys.fileNames)
        if (platform::equalsNoCase(name, fileName)) return true;
    return false;
}

bool isProgram(const MatchKeys& keys, const std::vector<std::string>& paths) {
    for (const std::string& path : paths)
        for (const std::string& program : keys.programPaths)
            if (platform::equalsNoCase(path, program)) return true;
    return false;
}

}  // namespace

bool formMatchKeys(const std::string& processname, const std::string& commandline, MatchKeys& keys) {
    keys = MatchKeys{};
    const std::string& suffix = platform::executableSuffix();
    keys.exeName = processname;
    if (!suffix.empty()) {
        const auto at = keys.exeName.find(suffix);
        if (at == std::string::npos || at + suffix.size() != keys.exeName.size()) keys.exeName += suffix;
    }
    if (keys.exeName.empty() || commandline.find(keys.exeName) == std::string::npos) return false;
    platform::LaunchTarget target;
    if (!platform::readLaunchTarget(commandline, keys.exeName, target) || target.programPaths.empty()) return false;
    keys.programPaths = std::move(target.programPaths);
    keys.arguments = std::move(target.arguments);
    keys.fileNames.push_back(keys.exeName);
    // A server configured by a link is known by the link's name; its
    // process by the name of the file the link leads to.
    if (platform::equalsNoCase(baseName(keys.programPaths.front()), keys.exeName))
        for (std::size_t i = 1; i < keys.programPaths.size(); ++i) {
            const std::string name = baseName(keys.programPaths[i]);
            if (!hasFileName(keys, name)) keys.fileNames.push_back(name);
        }
    return true;
}

bool processMatches(platform::ProcessTable& table, const platform::ProcessEntry& entry, const MatchKeys& keys) {
    if (!hasFileName(keys, entry.exeFile)) return false;
    std::vector<std::string> paths;
    if (!entry.exePath.empty())
        paths.push_back(entry.exePath);
    else if (!table.executablePaths(entry.pid, paths))
        return false;
    if (!isProgram(keys, paths)) return false;
    // Arguments that cannot be read compare as none.
    std::vector<std::string> arguments;
    if (!table.argumentWords(entry.pid, arguments)) arguments.clear();
    if ((keys.arguments.empty() && isDefaultServerArgument(arguments)) ||
        (arguments.empty() && isDefaultServerArgument(keys.arguments)))
        return true;
    return sameWords(keys.arguments, arguments);
}

std::int32_t findServerProcess(MachineLook& look, const MatchKeys& keys) {
    for (const platform::ProcessEntry* entry : look.candidates(keys.fileNames))
        if (processMatches(look.table(), *entry, keys)) return entry->pid;
    return 0;
}
