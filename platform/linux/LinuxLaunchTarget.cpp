#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "platform/CommandLineSplitter.h"
#include "platform/LaunchTarget.h"
#include "platform/linux/LinuxProcessControl.h"

namespace platform {

bool readLaunchTarget(const std::string& commandLine, const std::string& /*exeName*/, LaunchTarget& target) {
    target = LaunchTarget{};
    std::vector<std::string> words;
    if (CommandLineSplitter::split(commandLine, words) != CommandLineSplitter::Result::Ok || words.empty() ||
        words[0].empty())
        return false;
    const std::string& program = words[0];
    target.programPaths.push_back(program);
    // The file the launcher would execute: the first candidate it can run,
    // with every link resolved, as the kernel reports a process's image.
    for (const std::string& candidate : LinuxProcessControl::candidatePaths(program)) {
        struct stat st {};
        if (::stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(candidate.c_str(), X_OK) != 0)
            continue;
        char resolved[PATH_MAX];
        if (::realpath(candidate.c_str(), resolved) && program != resolved) target.programPaths.emplace_back(resolved);
        break;
    }
    target.arguments.assign(words.begin() + 1, words.end());
    return true;
}

std::string programFileName(const std::string& commandLine) {
    std::vector<std::string> words;
    CommandLineSplitter::split(commandLine, words);
    return words.empty() ? commandLine : std::filesystem::path(words.front()).filename().string();
}

}  // namespace platform
