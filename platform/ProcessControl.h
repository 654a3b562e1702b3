#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ExitStatus.h"

namespace platform {

enum class TerminateResult {
    Terminated,  // the process was ended
    CannotOpen,  // no such process, or no right to end it
    Failed,      // it could be reached but not ended
};

enum class StopSignal {
    Graceful,   // asks the program to end (SIGTERM, then SIGCONT so that a stopped
                // process ends too; Ctrl-Break or WM_CLOSE on Windows)
    Kill,       // ends it at once (SIGKILL; TerminateProcess)
    Interrupt,  // SIGINT (PostgreSQL's fast shutdown); Windows: as Graceful
    Quit,       // SIGQUIT; Windows: as Graceful
    Hangup,     // SIGHUP (a reload for many servers); Windows: as Graceful
    User1,      // SIGUSR1; Windows: as Graceful
    User2,      // SIGUSR2; Windows: as Graceful
};

// "TERM", "KILL", "INT", "QUIT", "HUP", "USR1", "USR2".
const char* stopSignalName(StopSignal kind);
// The signal of a name as the list and ctl take it: "INT", "SIGINT" or
// "int"; false for any other text.
bool stopSignalOf(const std::string& name, StopSignal& kind);

enum class SignalResult {
    Sent,
    Gone,          // the process has already ended
    NotPermitted,  // another user's process, or a protected one
    Failed,
};

// One process held by its identity, not by its ID: once opened it never
// stands for another process that later takes the same ID.
class ProcessHandle {
public:
    virtual ~ProcessHandle() = default;
    virtual int pid() const = 0;
    // True once the process has ended (looks, never waits).
    virtual bool exited() = 0;
    // True when the process leads its own process group (every program the
    // launcher starts does); a stop then reaches the whole group.
    virtual bool leadsGroup() const = 0;
    // Sends a stop to the process, or to its group when `group` is set and
    // it leads one. `error` holds the system's error number on failure.
    // A stop other than the kill wakes a stopped process too.
    virtual SignalResult signal(StopSignal kind, bool group, int& error) = 0;
    // Sends the signal as it is, nothing else (`ctl signal`): a reload
    // (SIGHUP) must not wake a process the operator stopped.
    virtual SignalResult raise(StopSignal kind, bool group, int& error) { return signal(kind, group, error); }
    // True while any process of the group it leads still runs (a stop is
    // complete once the whole group has gone). False when it leads none.
    virtual bool groupRunning() = 0;
    // What an exit watcher waits on (a pidfd, a process handle); -1 when the
    // platform cannot wait on this process, so only the timer notices its end.
    virtual std::intptr_t waitable() const = 0;

    // True for a process ProcessControl::start made: this program is its
    // parent and learns how it ended. False for one found and opened.
    virtual bool launchedHere() const { return false; }

    // How the process ended, once it has (looks, never waits). Always empty
    // for a process that was not launched here: only the parent is told.
    // Collecting it also removes the ended process from the process table;
    // whichever of this and ProcessControl::reapChildren comes first, the
    // status is kept for this handle.
    virtual std::optional<ExitStatus> exitStatus() { return std::nullopt; }

    // How many processes of the group this process leads are still alive
    // (the leader itself included while it runs); 0 when it leads none or
    // the platform cannot tell. Reads the process table: meant for the
    // moment after the leader's end, not for every check.
    virtual int groupSize() { return 0; }

    // The process that carries this one's output to its file (see
    // LaunchRequest::outputWriter); 0 when it writes its file itself or has
    // none.
    virtual int outputWriter() const { return 0; }
    // What an exit watcher waits on after the process has ended, until its
    // output has reached the file (the writer's end); -1 when nothing is
    // owed. `exited` says true only once that is so, or after a short grace
    // where something else (a child of the program) keeps the output open.
    virtual std::intptr_t outputWaitable() const { return -1; }
};

// What to start, and how.
struct LaunchRequest {
    // Split and searched as `launch` does.
    std::string commandLine;
    // Empty: the directory of the executable that is actually run (after
    // the search path), not the supervisor's.
    std::string workingDirectory;
    // Variables set for the program on top of the supervisor's own (less
    // those that belong to the supervisor alone), in this order: a later
    // one of the same name wins.
    std::vector<std::pair<std::string, std::string>> environment;
    // Empty: the supervisor's own. Otherwise a user name (or numeric ID):
    // the program runs as that user, with the user's groups and HOME, USER
    // and LOGNAME set to the user's. Only a supervisor running as root can
    // do this; others are refused before anything is started.
    std::string user;
    // Empty: the user's primary group (or the supervisor's when no user is
    // given). Otherwise a group name or numeric ID, taken as the primary
    // group. The same rule as for `user` applies.
    std::string group;
    // Empty: standard output and error go nowhere (the null device).
    // Otherwise the file they are appended to, opened by the supervisor
    // (created with its directory where missing) and handed to the program
    // as its own, so it writes there without the supervisor in between.
    // Standard input is always the null device.
    std::string outputFile;
    // With an output file: the writer program (platform/OutputWriter.h) that
    // is started to carry the program's output to it through a pipe, with
    // the file's size limit (0 none) and backups. Empty, or where the
    // writer cannot be started: the program appends to the file itself.
    std::string outputWriter;
    std::int64_t outputMaxBytes = 0;
    int outputBackups = 0;
};

// Why a start failed.
struct LaunchFailure {
    // The system's error number (errno; GetLastError on Windows) of the step
    // that failed; 0 when no system call failed (a bad command line).
    int error = 0;
    // The step and the system's reason, e.g. "cannot execute 'gamesrv': No
    // such file or directory", "cannot run as user 'x': no such user".
    std::string text;
    // The output file (or its directory) could not be opened: nothing was
    // started, and the same request without it may well succeed.
    bool outputFile = false;
};

class ProcessControl {
public:
    virtual ~ProcessControl() = default;

    // Starts a command line hidden and detached from the supervisor, so the
    // program outlives it. Returns true once the new program runs (the exec
    // has happened), with its process ID in pid; false (and an error
    // number) when it could not be started at all. Never waits for the
    // program to settle.
    virtual bool launch(const std::string& commandLine, int& pid, int& error) = 0;

    // Starts a program as a child of the supervisor, held from the first
    // moment: the handle stands for the program whatever it later execs or
    // calls itself, and tells how it ended. The program leads a session and
    // process group of its own (a console process group on Windows), and
    // inherits none of the supervisor's descriptors or handles other than
    // its standard streams. Returns once the program runs (the exec has
    // happened) or null, with `failure` filled, once it is known it cannot.
    virtual std::unique_ptr<ProcessHandle> start(const LaunchRequest& request, LaunchFailure& failure);

    // Collects every child that has ended, without waiting, so none stays
    // behind in the process table: the status of a child `start` made goes
    // to its handle; an orphan adopted while this process is a child
    // subreaper is simply collected. Without the subreaper role only
    // children `start` made are touched. One system call when nothing has
    // ended. Returns how many were collected. Meant for the checking thread,
    // on each tick and after each wake of the exit watcher.
    virtual int reapChildren() { return 0; }

    // Which of these processes certainly still run, asked together (one
    // system call where the platform can), for a pass over many servers:
    // `running[i]` is 1 for one that runs, 0 where it has ended or this
    // cannot tell (a null entry, a platform that cannot ask many at once);
    // the handle's own exited() answers those.
    virtual void stillRunning(const std::vector<ProcessHandle*>& processes, std::vector<char>& running);

    // Holds the process with this ID; null when there is none (or it can't
    // be opened at all).
    virtual std::unique_ptr<ProcessHandle> open(int pid) = 0;

    // Ends a process at once and waits a short while for it to go (tests
    // and tools; the supervisor stops through ProcessHandle).
    virtual TerminateResult terminate(int pid) = 0;

    // Ends the console host the platform attaches to a launched console
    // program; nothing to do where there is none. A tool: the supervisor
    // keeps its servers' console hosts, through which a Ctrl-Break reaches
    // them.
    virtual void closeConsoleHost(int serverPid) = 0;
};

ProcessControl& processControl();
void setProcessControl(ProcessControl* control);

// The machine's own, from the platform folder CMake chooses.
ProcessControl& defaultProcessControl();

// Makes this process the parent of every orphan among its descendants
// (a server's workers whose master has died, the real server of a
// daemonising start), so that they are collected here by reapChildren and
// never linger as zombies. For the real program only: it takes the exit
// statuses of every ended child process. False where the system cannot.
bool becomeChildSubreaper();

// Lets reapChildren tell in one system call that no child has ended since
// its last call, instead of looking at every child (the end of a child is
// then read from a descriptor rather than delivered as a signal). For the
// real program, before any other thread starts: false where threads run
// already, or where the system has nothing of the kind (reapChildren then
// looks at every child as before).
bool watchChildEnds();

}  // namespace platform
