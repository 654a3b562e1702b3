#pragma once
#include <cstdint>
#include <string>

#include "platform/ProcessTable.h"

// The three keys a configured server is recognised by.
struct MatchKeys {
    std::string exeName;    // executable file name, with the platform's suffix
    std::string exePath;    // command line up to and including the file name
    std::string arguments;  // command line from its first blank, trimmed of blanks
};

// Forms the keys from a server's processname and commandline. False when the
// command line does not hold the executable file name (byte-wise): such a
// server is never found.
bool formMatchKeys(const std::string& processname, const std::string& commandline, MatchKeys& keys);

// The first process, in process table order, whose executable file name,
// executable path and argument text match; 0 if none.
std::int32_t findServerProcess(const std::string& exeName, const std::string& exePath, const std::string& arguments);

// The same look-up in a snapshot taken by the caller, so that one walk of
// the process table can serve several look-ups.
std::int32_t findServerProcess(const platform::ProcessSnapshot& snapshot, const std::string& exeName,
                               const std::string& exePath, const std::string& arguments);

// The argument text of a process: its command line without quotes, without
// everything before the first blank, trimmed. False (text untouched) when the
// command line cannot be read.
bool readProcessArguments(std::int32_t processId, std::string& text);

// The argument text rule applied to a command line as a process holds it.
std::string argumentText(const std::string& processCommandLine);
