#include "platform/LaunchTarget.h"
#include "platform/win32/Win32CommandLine.h"

namespace platform {

// The system takes the command line as one text and finds the program in
// it by its own rules; what the server is recognised by is the text up to
// the configured executable file name, compared with the process's image
// path, and the rest of the text as one argument text.
bool readLaunchTarget(const std::string& commandLine, const std::string& exeName, LaunchTarget& target) {
    target = LaunchTarget{};
    const std::string program = Win32CommandLine::programPath(commandLine, exeName);
    if (program.empty()) return false;
    target.programPaths.push_back(program);
    std::string arguments = Win32CommandLine::configuredArguments(commandLine);
    if (!arguments.empty()) target.arguments.push_back(std::move(arguments));
    return true;
}

}  // namespace platform
