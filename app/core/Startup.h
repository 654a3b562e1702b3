#pragma once
#include <cstdio>
#include <string>

class CommandLine;

// How the start-up every way of running the supervisor shares went.
enum class StartupResult {
    Started,         // go on: the log is written
    AlreadyRunning,  // another copy runs: end at once, silently
    NoLog,           // the log could not be set up: tell the operator and end
};

// Takes the machine-wide single-instance guard, becomes the collector of
// its servers' orphans (platform::becomeChildSubreaper), works in the
// configuration directory, creates its logs/ unless another log directory was given,
// starts the log, writes "Procward started!" and removes logs older than
// LOG_KEEP_DAYS. With NoLog, `error` says where and why the log could not be
// opened.
StartupResult RunStartupSteps(std::string& error);

// Takes --config-dir and --log-dir of the command line. A directory that
// was given must exist and be writable; otherwise the reason goes to `err`
// and the result is false (the program then ends with exit code 1, before
// it supervises anything).
bool ApplyDirectories(const CommandLine& line, const char* program, std::FILE* err);
// The same, with the reason in `error` ("--config-dir D: the directory does
// not exist").
bool ApplyDirectories(const CommandLine& line, std::string& error);

// Name of the single-instance guard.
extern const char* const kSingleInstanceName;
