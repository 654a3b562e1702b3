#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// How an operator's command to the Supervisor ended.
enum class CommandStatus {
    Done,            // it did what was asked
    AlreadyRunning,  // start: the server ran already (its auto-start is on now)
    NotRunning,      // stop: there was no process to end; the server stays down
    Stopping,        // start: refused, the server is on its way down
    StartFailed,     // the server could not be started (or did not start again)
    StopFailed,      // its process could not be ended
    Gone,            // the server left the list while the command waited
    NoSuchServer,    // no server has that index
    SaveFailed,      // the server list could not be written: `error` says why
};

// The result a command's callback receives, for the caller to put into its
// own words.
struct CommandResult {
    CommandStatus status = CommandStatus::Done;
    std::int32_t index = 0;
    std::string name;      // of the server, as it was when the command came
    std::int32_t pid = 0;  // of the server once the command is over
    // The commands on every server: how many there are, and the names of
    // those not running (start all) or still running (stop all) at the end.
    std::size_t servers = 0;
    std::vector<std::string> notDone;
    std::string error;  // SaveFailed: why the list could not be written

    bool ok() const {
        return status == CommandStatus::Done || status == CommandStatus::AlreadyRunning ||
               status == CommandStatus::NotRunning;
    }
};

// Called once, on the supervisor's thread, when a command is over.
using CommandDone = std::function<void(const CommandResult&)>;
