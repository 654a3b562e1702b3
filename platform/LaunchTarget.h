#pragma once
#include <string>
#include <vector>

namespace platform {

// What a configured command line starts, read with the launcher's own
// rules, in the form a running process is compared with.
struct LaunchTarget {
    // The executable, as written and (where the platform resolves it, as
    // the launcher would: search path, links) as the file it names; a
    // process whose executable path equals any of them, ignoring ASCII
    // case, has the right executable.
    std::vector<std::string> programPaths;
    // The arguments, compared word by word with ProcessTable::argumentWords.
    std::vector<std::string> arguments;
};

// Reads a configured command line. `exeName` is the executable file name
// the server is configured with, with the platform's suffix; on platforms
// whose launcher takes the command line as one text it marks where the
// program ends. False when the command line cannot be launched at all.
bool readLaunchTarget(const std::string& commandLine, const std::string& exeName, LaunchTarget& target);

// The file name, without its folder, of the program a command line starts,
// as the launcher reads the line ("check.exe" of "C:\ops\check.exe --quick",
// "check.sh" of "/opt/game/check.sh --quick"); the whole line when it names
// no program. For the texts that name what ran.
std::string programFileName(const std::string& commandLine);

}  // namespace platform
