#include "platform/linux/LinuxShell.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/linux/LinuxProcessControl.h"

namespace platform {
namespace {

bool displayAvailable() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

}  // namespace

std::string LinuxShell::findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t begin = 0;
    while (begin <= dirs.size()) {
        std::size_t end = dirs.find(':', begin);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end > begin ? dirs.substr(begin, end - begin) : ".";
        const std::string candidate = dir + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        begin = end + 1;
    }
    return {};
}

std::vector<std::string> LinuxShell::scriptCommand(const std::string& script, bool visible) {
    if (visible && displayAvailable()) {
        const std::string terminal = findOnPath("x-terminal-emulator");
        if (!terminal.empty()) return {terminal, "-e", "/bin/sh", script};
    }
    return {"/bin/sh", script};
}

bool LinuxShell::runScript(const std::string& script, const std::string& directory, bool visible) {
    return spawnDetached(scriptCommand(script, visible), directory);
}

bool LinuxShell::openDirectory(const std::string& directory) {
    const std::string opener = findOnPath("xdg-open");
    if (opener.empty()) return false;
    return spawnDetached({opener, directory}, {});
}

bool LinuxShell::spawnDetached(const std::vector<std::string>& argv, const std::string& directory) {
    int pid = 0, error = 0;
    return LinuxProcessControl::spawnDetached(argv, directory, false, pid, error);
}

Shell& defaultShell() {
    static LinuxShell shell;
    return shell;
}

}  // namespace platform
