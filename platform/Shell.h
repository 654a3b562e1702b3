#pragma once
#include <string>

namespace platform {

// What the desktop shell does for the operator: run scripts, open folders.
class Shell {
public:
    virtual ~Shell() = default;
    // Runs a script in `directory`, detached; `visible` shows it in a
    // terminal window where the desktop has one.
    virtual bool runScript(const std::string& script, const std::string& directory, bool visible) = 0;
    // Opens a directory in the file manager.
    virtual bool openDirectory(const std::string& directory) = 0;
};

Shell& shell();
void setShell(Shell* shell);

// The machine's own, from the platform folder CMake chooses.
Shell& defaultShell();

}  // namespace platform
