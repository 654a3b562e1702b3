#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ProcessTable.h"

class MachineLook;

// What a configured server is recognised by, read from its processname and
// commandline with the launcher's own rules, so that every command line the
// launcher can start is recognised as the process it started.
struct MatchKeys {
    // The executable file name (processname with the platform's suffix).
    std::string exeName;
    // File names a candidate's executable may have: exeName, and the name of
    // the file the configured program resolves to when it is a link named
    // exeName.
    std::vector<std::string> fileNames;
    // The configured program, as written and as resolved; one of them must
    // equal the candidate's executable path (ignoring ASCII case).
    std::vector<std::string> programPaths;
    // Compared word by word with the candidate's arguments (ignoring ASCII
    // case); "/ServerID 11" counts the same as no arguments.
    std::vector<std::string> arguments;
    // A server run by an interpreter (sh, bash, python3, perl, node, ruby,
    // php, java -jar ...): the script or jar it runs, as written and as
    // resolved, and the file names the interpreter's process may have. Such
    // a process is recognised by its script and the script's arguments,
    // whatever options the interpreter was given. Empty for a program.
    std::vector<std::string> scriptPaths;
    std::vector<std::string> interpreterNames;
    std::vector<std::string> scriptArguments;
};

// True for the file name of an interpreter a server may run in (sh, bash,
// dash, python3.11, perl, node, ruby, php, java ...).
bool isInterpreterName(const std::string& fileName);

// Forms the keys. False when the command line does not hold the executable
// file name (byte-wise) or cannot be launched: such a server is never found.
bool formMatchKeys(const std::string& processname, const std::string& commandline, MatchKeys& keys);

// True when the process with this entry has the keys' executable and
// arguments. The entry's path is used when the listing gave one.
bool processMatches(platform::ProcessTable& table, const platform::ProcessEntry& entry, const MatchKeys& keys);

// True when the process runs the server's program (for a script: one of
// the interpreters it may run in), whatever its arguments.
bool runsServerProgram(platform::ProcessTable& table, int pid, const MatchKeys& keys);

// The first process in table order that matches; 0 if none.
std::int32_t findServerProcess(MachineLook& look, const MatchKeys& keys);
