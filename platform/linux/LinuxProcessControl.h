#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "platform/ProcessControl.h"

namespace platform {

// Starts servers as children of the supervisor (start) or as detached
// processes of their own (launch: double fork), each in a new session with
// its standard streams on /dev/null or a file; holds them by pidfd and
// stops them with signals.
class LinuxProcessControl : public ProcessControl {
public:
    LinuxProcessControl() = default;
    ~LinuxProcessControl() override;
    LinuxProcessControl(const LinuxProcessControl&) = delete;
    LinuxProcessControl& operator=(const LinuxProcessControl&) = delete;

    // The command line is split into words like a shell would (see
    // CommandLineSplitter); the first word names the program, searched in
    // PATH when it holds no '/'. On success pid is the program's own process
    // ID and the program has already replaced the launcher (its
    // /proc/PID/exe is the new program's; the kernel may still be putting
    // its argument list in place). On failure error is an errno value:
    // EINVAL for an empty command line or an unbalanced quote, otherwise why
    // the program could not be executed (ENOENT, EACCES, ENOEXEC, ...) or
    // why no process could be made.
    bool launch(const std::string& commandLine, int& pid, int& error) override;

    // One fork: the server is this process's child, held by its pidfd from
    // the moment it exists. Before the fork (and so without leaving
    // anything behind when refused): the command line is split, the
    // program searched in PATH (its directory is the default working
    // directory), the user and group looked up, the output file opened.
    // In the child only async-signal-safe calls: setsid, setgroups, setgid,
    // setuid, chdir, the standard streams, close-on-exec for everything
    // else, default signal handling, and the exec of each candidate path.
    std::unique_ptr<ProcessHandle> start(const LaunchRequest& request, LaunchFailure& failure) override;

    int reapChildren() override;
    // One poll over the pidfds of all of them.
    void stillRunning(const std::vector<ProcessHandle*>& processes, std::vector<char>& running) override;

    // The same start for a program and arguments given as words, in
    // `directory` (the launcher's working directory when empty). A program
    // that is not its session's leader can never acquire a terminal.
    static bool spawnDetached(std::vector<std::string> words, const std::string& directory, bool sessionLeader,
                              int& pid, int& error);

    // A pidfd where the kernel has them; elsewhere the process is told
    // from a later one with the same ID by its start time.
    std::unique_ptr<ProcessHandle> open(int pid) override;

    // SIGKILL; CannotOpen when there is no such process or no right to
    // signal it. Waits a short while for the process to end, so that a look
    // at the process table right after no longer lists it.
    TerminateResult terminate(int pid) override;

    // Does nothing: see the definition.
    void closeConsoleHost(int serverPid) override;

    // The files the launcher tries for a program name, in order: the name
    // itself when it holds a '/', otherwise the name in each directory of
    // PATH (an empty entry is the working directory).
    static std::vector<std::string> candidatePaths(const std::string& name);

private:
    // Hands a server's output pipe and file to the writer of every server
    // this launches (started with the first; started again if it has gone).
    // Returns the writer's process ID, and `drainFd` the read end of a pipe
    // the writer closes once that output has all reached the file; 0 when
    // no writer took it.
    int handOverOutput(const LaunchRequest& request, int pipeRead, int outputFd, int maxFd, int& drainFd);

    std::mutex writerMutex_;
    int writerControl_ = -1;  // the socket that brings the writer new streams
    int writerPid_ = 0;
    std::string writerProgram_;
};

}  // namespace platform
