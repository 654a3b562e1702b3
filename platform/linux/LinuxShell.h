#pragma once
#include <string>
#include <vector>

#include "platform/Shell.h"

namespace platform {

// Scripts run by /bin/sh and directories opened with xdg-open, each started
// detached: in a session of its own, a grandchild handed to init (so never
// left as a zombie of the supervisor), with standard input and output on
// /dev/null.
class LinuxShell : public Shell {
public:
    // Hidden: /bin/sh script, in `directory`. Visible: the same inside
    // "x-terminal-emulator -e" when a display is set and the desktop has a
    // terminal; hidden otherwise. True when the program was started.
    bool runScript(const std::string& script, const std::string& directory, bool visible) override;
    // xdg-open directory; true when xdg-open was started.
    bool openDirectory(const std::string& directory) override;

    // The program and arguments runScript starts.
    static std::vector<std::string> scriptCommand(const std::string& script, bool visible);

    // Starts argv[0] (a path) with `argv`, detached, in `directory` (the
    // current one when empty). True when the program was executed.
    static bool spawnDetached(const std::vector<std::string>& argv, const std::string& directory);

    // Full path of an executable `name` found on PATH; empty when none.
    static std::string findOnPath(const std::string& name);
};

}  // namespace platform
