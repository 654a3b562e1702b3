#pragma once
#include <chrono>
#include <cstdint>
#include <string>

// How the supervisor checks, restarts and stops; read from the settings
// file at start.
struct SupervisionOptions {
    // Period of the status check. Below one second it is used as one second.
    std::chrono::milliseconds checkInterval{3000};
    // Check a server as soon as its process exits, instead of at the next tick.
    bool restartOnExit = true;
    // A stop first asks the program to end and kills it after this long; 0
    // kills it at once.
    std::chrono::milliseconds stopTimeout{0};
    // Longest wait between restarts of a server that keeps failing; 0 turns
    // the back-off off (one attempt per check). The settings file's default
    // is 60 s; this one is the engine's own, without a settings file.
    std::chrono::milliseconds restartBackoffMax{0};
    // How long a launched process must live before its start counts
    // ("started successfully", the state running); one that dies sooner is
    // a failed start. 0: a start counts once the process has settled, and
    // is told at once. The settings file's default is 1 s.
    std::chrono::milliseconds startConfirm{0};
    // A server the operator stopped stays down when the supervisor starts
    // again (the state file keeps the stop); off: every server is started.
    bool rememberStopped = false;
    // Where each launched server's standard output and error are appended,
    // one file per server (see ServerOutputFile); empty: they go nowhere.
    std::string outputDirectory;
    // The program that carries a launched server's output to its file
    // through a pipe, rotating it by renaming at `outputMaxBytes` (0 never)
    // with `outputBackups` backups (see platform/OutputWriter.h); empty: the
    // server appends to its file itself. Taken at each launch.
    std::string outputWriter;
    std::int64_t outputMaxBytes = 0;
    int outputBackups = 0;
    // Longest one call of the supervisor spends launching servers; the
    // starts still due then run at the next call, which the supervisor asks
    // for at once (its next due time is now). A burst of exits or a start-up
    // of many servers then never holds the caller's thread (a window, the
    // control requests) for long. 0: every due start runs in the same call.
    std::chrono::milliseconds launchSlice{0};
};
