#pragma once
#include <cstdio>

class CommandLine;

// The start-up every way of running the supervisor shares: take the
// machine-wide single-instance guard, work in the configuration directory,
// create its logs/ unless another log directory was given, start the log,
// write "Procward started!" and remove logs older than LOG_KEEP_DAYS.
// False when another copy runs: the caller then ends at once.
bool RunStartupSteps();

// Takes --config-dir and --log-dir of the command line. A directory that
// was given must exist and be writable; otherwise the reason goes to `err`
// and the result is false (the program then ends with exit code 1, before
// it supervises anything).
bool ApplyDirectories(const CommandLine& line, const char* program, std::FILE* err);

// Name of the single-instance guard.
extern const char* const kSingleInstanceName;
