#pragma once
#include "platform/Shell.h"

namespace platform {

// The Windows shell (ShellExecute, verb "open"): a .bat file runs in its
// console window, shown or hidden; a folder opens in Explorer.
class Win32Shell : public Shell {
public:
    bool runScript(const std::string& script, const std::string& directory, bool visible) override;
    bool openDirectory(const std::string& directory) override;
};

}  // namespace platform
