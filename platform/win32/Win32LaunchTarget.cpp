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

// A backslash is a folder separator here, never an escape as in a POSIX
// shell's words: the system takes a quoted first word as the program, or
// else the text up to the first blank.
std::string programFileName(const std::string& commandLine) {
    const auto begin = commandLine.find_first_not_of(" \t");
    if (begin == std::string::npos) return commandLine;
    std::string program;
    if (commandLine[begin] == '"') {
        const auto close = commandLine.find('"', begin + 1);
        program = commandLine.substr(begin + 1, close == std::string::npos ? std::string::npos : close - begin - 1);
    } else {
        const auto end = commandLine.find_first_of(" \t", begin);
        program = commandLine.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    }
    const auto folder = program.find_last_of("\\/:");
    if (folder != std::string::npos) program.erase(0, folder + 1);
    return program.empty() ? commandLine : program;
}

}  // namespace platform
