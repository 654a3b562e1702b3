#include "platform/linux/LinuxProcessControl.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/CommandLineSplitter.h"
#include "platform/linux/LinuxProcessHandle.h"

extern char** environ;

namespace platform {
namespace {

// How long terminate waits for a killed process to end.
constexpr int kWaitForEndMs = 2000;

// What the launcher's processes tell the supervisor through the report pipe.
// Each report is written whole in one write, far below PIPE_BUF, so reports
// of the two writers never interleave.
struct Report {
    int kind;
    int value;
};
constexpr int kReportPid = 1;    // value: the program's process ID
constexpr int kReportError = 2;  // value: errno of the failed step

// Everything the forked processes need, prepared before forking: between
// fork and exec only async-signal-safe calls are made, since another thread
// of the supervisor may hold the allocator's locks at the moment of the fork.
struct LaunchPlan {
    const char* const* paths;  // candidates to execute, in order, null-terminated
    char* const* argv;
    char* const* envp;
    int reportFd;  // write end of the report pipe (close-on-exec)
    int nullFd;    // /dev/null
    int maxFd;     // upper bound of open descriptors, for old kernels
    const char* directory;  // working directory of the program, or null: the launcher's
    bool sessionLeader;     // the program leads its session, or a session made by the launcher
};

// Process file descriptors, called directly: glibc's declarations of these
// lack C linkage in some versions.
int openPidfd(int pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int killThroughPidfd(int pidfd) { return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0)); }

void writeReport(int fd, int kind, int value) {
    const Report report{kind, value};
    while (::write(fd, &report, sizeof report) < 0 && errno == EINTR) {
    }
}

[[noreturn]] void failInChild(const LaunchPlan& plan, int error) {
    writeReport(plan.reportFd, kReportError, error);
    ::_exit(127);
}

// Runs in the grandchild: becomes the program.
[[noreturn]] void becomeProgram(const LaunchPlan& plan) {
    // A session and process group of its own: no controlling terminal, and
    // signals sent to the supervisor's group do not reach it.
    if (plan.sessionLeader && ::setsid() < 0) failInChild(plan, errno);
    if (plan.directory && ::chdir(plan.directory) != 0) failInChild(plan, errno);
    for (int target = 0; target <= 2; ++target)
        if (::dup2(plan.nullFd, target) < 0) failInChild(plan, errno);
    // No descriptor of the supervisor (log files, sockets, locks) may live on
    // in the program. Marking them close-on-exec keeps the report pipe open
    // until the exec succeeds.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < plan.maxFd; ++fd)
            if (fd != plan.reportFd) ::close(fd);
    }
    // The program starts with default signal handling and nothing blocked,
    // whatever the supervisor (or its toolkit) had set.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    // The PATH search of execvp, without its allocations or its fallback to
    // a shell for files that are not programs.
    int error = ENOENT;
    bool denied = false;
    for (const char* const* path = plan.paths; *path; ++path) {
        ::execve(*path, plan.argv, plan.envp);
        error = errno;
        if (error == EACCES) {
            denied = true;
            continue;
        }
        if (error == ENOENT || error == ENOTDIR || error == ESTALE || error == ENODEV || error == ETIMEDOUT)
            continue;
        failInChild(plan, error);
    }
    failInChild(plan, denied ? EACCES : error);
}

// Runs in the intermediate child: starts the grandchild, reports its process
// ID and ends at once, so the program is nobody's child but init's.
[[noreturn]] void startGrandchild(const LaunchPlan& plan) {
    // A program that must not lead its session (so that it can never take a
    // terminal) gets the session of this short-lived process instead.
    if (!plan.sessionLeader && ::setsid() < 0) failInChild(plan, errno);
    const pid_t pid = ::_Fork();  // unlike fork, async-signal-safe
    if (pid < 0) failInChild(plan, errno);
    if (pid == 0) becomeProgram(plan);
    writeReport(plan.reportFd, kReportPid, static_cast<int>(pid));
    ::_exit(0);
}

// Moves a new descriptor above the standard streams, so the grandchild's
// dup2 onto 0..2 cannot overwrite it (the supervisor may run with its
// standard streams closed).
int aboveStandardStreams(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

void sleepMs(long ms) {
    timespec pause{0, ms * 1000000L};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// The state letter of /proc/PID/stat; 0 when the process is gone.
char processState(int pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[512];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    // The command name may hold blanks and parentheses: the state follows
    // the last ')'.
    const char* close = nullptr;
    for (const char* p = text; *p; ++p)
        if (*p == ')') close = p;
    return close && close[1] == ' ' ? close[2] : 0;
}

bool ended(int pid) {
    const char state = processState(pid);
    return state == 0 || state == 'Z' || state == 'X' || state == 'x';
}

// Waits up to ms milliseconds for a process (not necessarily a child) to end.
void waitUntilEnded(int pid, int ms) {
    const int pidfd = openPidfd(pid);
    if (pidfd >= 0) {
        pollfd watch{pidfd, POLLIN, 0};
        while (::poll(&watch, 1, ms) < 0 && errno == EINTR) {
        }
        ::close(pidfd);
        return;
    }
    if (errno == ESRCH) return;
    for (int waited = 0; waited < ms && !ended(pid); ++waited) sleepMs(1);
}

}  // namespace

// The files to try for a program name: the name itself when it holds a
// '/', otherwise the name in each directory of PATH (an empty entry is the
// working directory).
std::vector<std::string> LinuxProcessControl::candidatePaths(const std::string& name) {
    if (name.find('/') != std::string::npos) return {name};
    std::string searchPath;
    if (const char* value = std::getenv("PATH")) {
        searchPath = value;
    } else {
        char buffer[256];
        const std::size_t n = ::confstr(_CS_PATH, buffer, sizeof buffer);
        searchPath = n > 0 && n <= sizeof buffer ? buffer : "/bin:/usr/bin";
    }
    std::vector<std::string> paths;
    std::size_t start = 0;
    for (;;) {
        const auto colon = searchPath.find(':', start);
        const std::string dir = searchPath.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        paths.push_back(dir.empty() ? name : (dir.back() == '/' ? dir + name : dir + "/" + name));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return paths;
}

bool LinuxProcessControl::launch(const std::string& commandLine, int& pid, int& error) {
    pid = 0;
    error = 0;
    std::vector<std::string> words;
    if (CommandLineSplitter::split(commandLine, words) != CommandLineSplitter::Result::Ok || words.empty()) {
        error = EINVAL;
        return false;
    }
    return spawnDetached(std::move(words), std::string(), true, pid, error);
}

bool LinuxProcessControl::spawnDetached(std::vector<std::string> words, const std::string& directory,
                                        bool sessionLeader, int& pid, int& error) {
    pid = 0;
    error = 0;
    if (words.empty() || words[0].empty()) {
        error = ENOENT;
        return false;
    }

    const std::vector<std::string> paths = candidatePaths(words[0]);
    std::vector<const char*> pathList;
    for (const auto& path : paths) pathList.push_back(path.c_str());
    pathList.push_back(nullptr);
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    rlimit files{};
    int maxFd = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        maxFd = static_cast<int>(files.rlim_cur < 65536 ? files.rlim_cur : 65536);

    const int nullFd = aboveStandardStreams(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (nullFd < 0) {
        error = errno;
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = errno;
        ::close(nullFd);
        return false;
    }
    const int readFd = aboveStandardStreams(pipeFds[0]);
    const int writeFd = aboveStandardStreams(pipeFds[1]);
    if (readFd < 0 || writeFd < 0) {
        error = errno;
        if (readFd >= 0) ::close(readFd);
        if (writeFd >= 0) ::close(writeFd);
        ::close(nullFd);
        return false;
    }

    const LaunchPlan plan{pathList.data(), argv.data(), environ, writeFd, nullFd, maxFd,
                          directory.empty() ? nullptr : directory.c_str(), sessionLeader};

    // No signal handler of the supervisor may run in the children before
    // they have reset the handlers.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t middle = ::fork();
    const int forkError = errno;
    if (middle == 0) startGrandchild(plan);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(writeFd);
    ::close(nullFd);
    if (middle < 0) {
        ::close(readFd);
        error = forkError;
        return false;
    }

    // Read the reports until every write end is closed: the intermediate
    // child's when it exits, the program's when the exec succeeds (or when
    // the grandchild exits after a failure).
    Report reports[4];
    std::size_t received = 0;
    for (;;) {
        char* at = reinterpret_cast<char*>(reports) + received;
        const std::size_t room = sizeof reports - received;
        if (room == 0) break;
        const ssize_t n = ::read(readFd, at, room);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received += static_cast<std::size_t>(n);
    }
    ::close(readFd);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }

    int programPid = 0;
    int failure = 0;
    for (std::size_t i = 0; i < received / sizeof(Report); ++i) {
        if (reports[i].kind == kReportPid) programPid = reports[i].value;
        if (reports[i].kind == kReportError) failure = reports[i].value;
    }
    if (failure != 0 || programPid <= 0) {
        // The grandchild, if there was one, ends by itself; leave only once
        // it has, so no trace of the failed launch stays behind.
        if (programPid > 0) waitUntilEnded(programPid, kWaitForEndMs);
        error = failure != 0 ? failure : ECHILD;
        return false;
    }
    pid = programPid;
    return true;
}

std::unique_ptr<ProcessHandle> LinuxProcessControl::open(int pid) { return LinuxProcessHandle::open(pid); }

TerminateResult LinuxProcessControl::terminate(int pid) {
    if (pid <= 0) return TerminateResult::CannotOpen;
    // Through a pidfd the signal cannot reach another process that took over
    // the ID in the meantime, and the pidfd tells when the process has ended.
    const int pidfd = openPidfd(pid);
    if (pidfd >= 0) {
        if (killThroughPidfd(pidfd) != 0) {
            const int error = errno;
            ::close(pidfd);
            return error == EPERM || error == ESRCH ? TerminateResult::CannotOpen : TerminateResult::Failed;
        }
        pollfd watch{pidfd, POLLIN, 0};
        while (::poll(&watch, 1, kWaitForEndMs) < 0 && errno == EINTR) {
        }
        ::close(pidfd);
        return TerminateResult::Terminated;
    }
    if (errno == ESRCH) return TerminateResult::CannotOpen;
    // Kernels without pidfds, or a thread ID rather than a process ID.
    if (::kill(pid, SIGKILL) != 0)
        return errno == EPERM || errno == ESRCH ? TerminateResult::CannotOpen : TerminateResult::Failed;
    waitUntilEnded(pid, kWaitForEndMs);
    return TerminateResult::Terminated;
}

void LinuxProcessControl::closeConsoleHost(int /*serverPid*/) {
    // Elsewhere a console program started without a window gets a console
    // host process of its own as a child, which has to be ended after the
    // launch. Here a launched program has no console at all: its standard
    // streams are on /dev/null and no helper process is made for it, so
    // there is nothing to end.
}

ProcessControl& defaultProcessControl() {
    static LinuxProcessControl control;
    return control;
}

}  // namespace platform
