#include "config/AppDirectories.h"

#include <cstdlib>
#include <mutex>

#include "config/ExeDirectory.h"
#include "platform/System.h"

namespace {

struct Directories {
    std::mutex mutex;
    std::string config;
    std::string log;
};

Directories& directories() {
    static Directories instance;
    return instance;
}

std::string withoutTrailingSeparators(std::string directory) {
    while (directory.size() > 1 && directory.back() == platform::pathSeparator()) directory.pop_back();
    return directory;
}

}  // namespace

std::string AppDirectories::configDirectory() {
    {
        std::lock_guard<std::mutex> lock(directories().mutex);
        if (!directories().config.empty()) return directories().config;
    }
    return GetExeDirectory();
}

std::string AppDirectories::logDirectory() {
    {
        std::lock_guard<std::mutex> lock(directories().mutex);
        if (!directories().log.empty()) return directories().log;
    }
    return configDirectory() + platform::pathSeparator() + "logs";
}

void AppDirectories::setConfigDirectory(const std::string& directory) {
    std::lock_guard<std::mutex> lock(directories().mutex);
    directories().config = withoutTrailingSeparators(directory);
}

void AppDirectories::setLogDirectory(const std::string& directory) {
    std::lock_guard<std::mutex> lock(directories().mutex);
    directories().log = withoutTrailingSeparators(directory);
}

bool AppDirectories::logDirectoryGiven() {
    std::lock_guard<std::mutex> lock(directories().mutex);
    return !directories().log.empty();
}

bool AppDirectories::configDirectoryGiven() {
    std::lock_guard<std::mutex> lock(directories().mutex);
    return !directories().config.empty();
}

std::string AppDirectories::serverListPath() {
    return configDirectory() + platform::pathSeparator() + "serverinfo.json";
}

std::string AppDirectories::settingsPath() { return configDirectory() + platform::pathSeparator() + "procward.ini"; }

std::string AppDirectories::stateDirectory() {
    // systemd names the unit's state directories (StateDirectory=) in this
    // variable, separated by colons where there are several: the first is ours.
    if (const char* given = std::getenv("STATE_DIRECTORY"); given && *given) {
        std::string directory = given;
        if (platform::pathSeparator() == '/') directory = directory.substr(0, directory.find(':'));
        if (!directory.empty()) return withoutTrailingSeparators(directory);
    }
    return configDirectory();
}

std::string AppDirectories::statePath() { return stateDirectory() + platform::pathSeparator() + "procward.state"; }
