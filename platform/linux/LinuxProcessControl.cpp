#include "platform/linux/LinuxProcessControl.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/CommandLineSplitter.h"
#include "platform/ServerEnvironment.h"
#include "platform/System.h"
#include "platform/linux/LinuxChildRegistry.h"
#include "platform/linux/LinuxOutputOffer.h"
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
    int reportFd;           // write end of the report pipe (close-on-exec)
    int nullFd;             // /dev/null
    int maxFd;              // upper bound of open descriptors, for old kernels
    const char* directory;  // working directory of the program, or null: the launcher's
    bool sessionLeader;     // the program leads its session, or a session made by the launcher
};

// Process file descriptors, called directly: glibc's declarations of these
// lack C linkage in some versions.
int openPidfd(int pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int killThroughPidfd(int pidfd) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0));
}

void writeReport(int fd, int kind, int value) {
    const Report report{kind, value};
    while (::write(fd, &report, sizeof report) < 0 && errno == EINTR) {
    }
}

// The PATH search of execvp, without its allocations or its fallback to a
// shell for files that are not programs: tries each candidate in turn and
// returns (the error that tells why none could run) only when all failed.
int execFirst(const char* const* paths, char* const* argv, char* const* envp) {
    int error = ENOENT;
    bool denied = false;
    for (const char* const* path = paths; *path; ++path) {
        ::execve(*path, argv, envp);
        error = errno;
        if (error == EACCES) {
            denied = true;
            continue;
        }
        if (error == ENOENT || error == ENOTDIR || error == ESTALE || error == ENODEV || error == ETIMEDOUT) continue;
        return error;
    }
    return denied ? EACCES : error;
}

// Puts back the signal handling a program expects to start with: default
// dispositions and nothing blocked, whatever the supervisor (or its
// toolkit) had set.
void defaultSignals() {
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
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
    defaultSignals();
    failInChild(plan, execFirst(plan.paths, plan.argv, plan.envp));
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

// The steps of a start whose failure its child reports, with the errno.
enum StartStep : int {
    kStepSession = 10,
    kStepGroups,
    kStepGroup,
    kStepUser,
    kStepDirectory,
    kStepStreams,
    kStepExec,
};

// Everything the child of a start needs, prepared before the fork (see
// LaunchPlan for why).
struct StartPlan {
    const char* const* paths;  // candidates to execute, in order, null-terminated
    char* const* argv;
    char* const* envp;
    int reportFd;           // write end of the report pipe (close-on-exec)
    int nullFd;             // /dev/null: standard input
    int outputFd;           // standard output and error (nullFd when discarded)
    int maxFd;              // upper bound of open descriptors, for old kernels
    const char* directory;  // working directory, or null: the supervisor's
    bool changeIdentity;    // take on uid, gid and groups
    uid_t uid;
    gid_t gid;
    const gid_t* groups;
    std::size_t groupCount;
};

[[noreturn]] void failStep(const StartPlan& plan, int step, int error) {
    writeReport(plan.reportFd, step, error);
    ::_exit(127);
}

// The identity calls made directly: the C library's wrappers would try to
// change every thread of the supervisor, and in the child only this one
// exists.
long setGroupsRaw(std::size_t count, const gid_t* groups) {
#ifdef SYS_setgroups32
    return ::syscall(SYS_setgroups32, count, groups);
#else
    return ::syscall(SYS_setgroups, count, groups);
#endif
}
long setGidRaw(gid_t gid) {
#ifdef SYS_setgid32
    return ::syscall(SYS_setgid32, gid);
#else
    return ::syscall(SYS_setgid, gid);
#endif
}
long setUidRaw(uid_t uid) {
#ifdef SYS_setuid32
    return ::syscall(SYS_setuid32, uid);
#else
    return ::syscall(SYS_setuid, uid);
#endif
}

// Runs in the child of a start: becomes the server.
[[noreturn]] void becomeServer(const StartPlan& plan) {
    // A session and process group of its own: no controlling terminal,
    // signals sent to the supervisor's group do not reach it, and the
    // supervisor can stop the server together with whatever it starts.
    if (::setsid() < 0) failStep(plan, kStepSession, errno);
    if (plan.changeIdentity) {
        // Groups first: once the user has changed, they can no longer be.
        if (setGroupsRaw(plan.groupCount, plan.groups) != 0) failStep(plan, kStepGroups, errno);
        if (setGidRaw(plan.gid) != 0) failStep(plan, kStepGroup, errno);
        if (setUidRaw(plan.uid) != 0) failStep(plan, kStepUser, errno);
    }
    // After the change of user, so the directory is entered with the
    // server's own rights.
    if (plan.directory && ::chdir(plan.directory) != 0) failStep(plan, kStepDirectory, errno);
    if (::dup2(plan.nullFd, 0) < 0 || ::dup2(plan.outputFd, 1) < 0 || ::dup2(plan.outputFd, 2) < 0)
        failStep(plan, kStepStreams, errno);
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < plan.maxFd; ++fd)
            if (fd != plan.reportFd) ::close(fd);
    }
    defaultSignals();
    failStep(plan, kStepExec, execFirst(plan.paths, plan.argv, plan.envp));
}

// Starts the child that becomes the server. It shares the supervisor's
// memory and this thread waits until it has executed the server (or failed
// and reported why), as the C library's own spawn does: no copy of the
// supervisor's page tables, and no wait for the scheduler to run a copied
// child, which made each start cost milliseconds and a thousand starts
// tens of seconds. The child touches only the plan and its own stack. The
// sanitizers' runtimes keep per-thread state that a child sharing memory
// would change behind their back, so their builds copy with fork.
pid_t spawnServer(const StartPlan& plan) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const pid_t pid = ::fork();
    if (pid == 0) becomeServer(plan);
    return pid;
#else
    constexpr std::size_t kStackSize = 256 * 1024;
    const std::unique_ptr<char[]> stack(new char[kStackSize]);
    int (*entry)(void*) = [](void* argument) -> int { becomeServer(*static_cast<const StartPlan*>(argument)); };
    return ::clone(entry, stack.get() + kStackSize, CLONE_VM | CLONE_VFORK | SIGCHLD, const_cast<StartPlan*>(&plan));
#endif
}

// Reads a launched child's report: true when one came (the child failed
// a step before its exec and ends at once), false once the exec has closed
// the pipe.
bool readReport(int readFd, Report& report) {
    std::size_t received = 0;
    for (;;) {
        const ssize_t n = ::read(readFd, reinterpret_cast<char*>(&report) + received, sizeof report - received);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received += static_cast<std::size_t>(n);
        if (received == sizeof report) break;
    }
    return received == sizeof report;
}

// Starts the writer of the servers' output (platform/OutputWriter.h) with
// one end of a new socket pair as its standard input; `control` gets the
// other. It leads a session of its own, so nothing sent to a server's group
// or to the supervisor's reaches it: it ends once `control` has closed and
// the last stream it was given has ended. Returns its process ID, or 0 when
// it could not be started.
int startOutputWriter(const std::string& writer, int maxFd, int& control) {
    control = -1;
    std::string program = writer;
    std::string serve = "--serve";
    const char* paths[] = {program.c_str(), nullptr};
    char* argv[] = {program.data(), serve.data(), nullptr};
    // Only the time zone: the writer dates its own lines.
    std::vector<std::string> variables;
    if (const char* zone = ::getenv("TZ")) variables.push_back(std::string("TZ=") + zone);
    std::vector<char*> envp;
    for (auto& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);

    int sockets[2] = {-1, -1}, reportFds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0) return 0;
    const int mine = aboveStandardStreams(sockets[0]);
    const int theirs = aboveStandardStreams(sockets[1]);
    const int nullFd = aboveStandardStreams(::open("/dev/null", O_RDWR | O_CLOEXEC));
    const bool reportOpen = ::pipe2(reportFds, O_CLOEXEC) == 0;
    const int reportRead = reportOpen ? aboveStandardStreams(reportFds[0]) : -1;
    const int reportWrite = reportOpen ? aboveStandardStreams(reportFds[1]) : -1;
    const auto closeAll = [&] {
        for (const int fd : {mine, theirs, nullFd, reportRead, reportWrite})
            if (fd >= 0) ::close(fd);
    };
    if (mine < 0 || theirs < 0 || nullFd < 0 || reportRead < 0 || reportWrite < 0) {
        closeAll();
        return 0;
    }
    const StartPlan plan{paths, argv,  envp.data(), reportWrite, theirs,  nullFd, maxFd,
                         "/",   false, 0,           0,           nullptr, 0};
    LinuxChildRegistry& registry = LinuxChildRegistry::Instance();
    sigset_t all, previous;
    sigfillset(&all);
    std::shared_ptr<LinuxChild> child;
    std::unique_lock<std::mutex> held = registry.hold();
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = spawnServer(plan);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // On record, so the reaper collects it when it ends.
    if (pid > 0) child = registry.addHeld(pid);
    held.unlock();
    for (const int fd : {theirs, nullFd, reportWrite}) ::close(fd);
    Report report{0, 0};
    const bool failed = pid > 0 && readReport(reportRead, report);
    ::close(reportRead);
    if (pid <= 0 || failed) {
        ::close(mine);
        if (failed) {
            siginfo_t info{};
            while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
            }
            registry.collect(*child, -1);
        }
        return 0;
    }
    control = mine;
    return static_cast<int>(pid);
}

// Gives the writer a server's output: the pipe's read end, the file and
// the write end of the drain pipe, with the file's path and limits. The
// socket never blocks: a writer too busy to take it leaves the server to
// write its file itself.
bool offerOutput(int control, const LaunchRequest& request, int pipeRead, int outputFd, int drainWrite, int& error) {
    LinuxOutputOffer offer;
    offer.maxBytes = request.outputMaxBytes > 0 ? request.outputMaxBytes : 0;
    offer.backups = request.outputBackups > 0 ? request.outputBackups : 0;
    if (request.outputFile.size() > LinuxOutputOffer::kMaxPath) {
        error = ENAMETOOLONG;
        return false;
    }
    iovec parts[2] = {{&offer, sizeof offer}, {const_cast<char*>(request.outputFile.data()), request.outputFile.size()}};
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int) * LinuxOutputOffer::kDescriptors)] = {};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int) * LinuxOutputOffer::kDescriptors);
    const int fds[LinuxOutputOffer::kDescriptors] = {pipeRead, outputFd, drainWrite};
    std::memcpy(CMSG_DATA(header), fds, sizeof fds);
    for (;;) {
        if (::sendmsg(control, &message, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return true;
        if (errno != EINTR) break;
    }
    error = errno;
    return false;
}

// A user or group as the system's databases name it, looked up before the
// fork (the look-ups allocate and may talk to other services).
struct Account {
    std::string name;
    unsigned id = 0;
    gid_t primaryGroup = 0;  // users only
    std::string home;        // users only
};

bool allDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// 0 with `found` telling whether it exists; otherwise the look-up's error.
int findUser(const std::string& name, Account& account, bool& found) {
    found = false;
    std::vector<char> buffer(16384);
    for (;;) {
        passwd entry{};
        passwd* result = nullptr;
        const int error = allDigits(name) ? ::getpwuid_r(static_cast<uid_t>(std::strtoul(name.c_str(), nullptr, 10)),
                                                         &entry, buffer.data(), buffer.size(), &result)
                                          : ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        // "Not found" comes back as 0, or as one of these from some sources.
        if (error == 0 || error == ENOENT || error == ESRCH || error == EBADF || error == EPERM) {
            if (result) {
                found = true;
                account.name = entry.pw_name;
                account.id = entry.pw_uid;
                account.primaryGroup = entry.pw_gid;
                account.home = entry.pw_dir ? entry.pw_dir : "";
            }
            return 0;
        }
        return error;
    }
}

int findGroup(const std::string& name, Account& account, bool& found) {
    found = false;
    std::vector<char> buffer(16384);
    for (;;) {
        group entry{};
        group* result = nullptr;
        const int error = allDigits(name) ? ::getgrgid_r(static_cast<gid_t>(std::strtoul(name.c_str(), nullptr, 10)),
                                                         &entry, buffer.data(), buffer.size(), &result)
                                          : ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        if (error == 0 || error == ENOENT || error == ESRCH || error == EBADF || error == EPERM) {
            if (result) {
                found = true;
                account.name = entry.gr_name;
                account.id = entry.gr_gid;
            }
            return 0;
        }
        return error;
    }
}

// The user's supplementary groups with `primary` among them.
std::vector<gid_t> groupsOf(const std::string& user, gid_t primary) {
    std::vector<gid_t> groups(32);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(user.c_str(), primary, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            return groups;
        }
        groups.resize(static_cast<std::size_t>(count) > groups.size() ? static_cast<std::size_t>(count)
                                                                      : groups.size() * 2);
    }
    return {primary};
}

// Creates the directories above `path` that are missing.
bool createParentDirectories(const std::string& path, int& error) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return true;
    const std::string parent = path.substr(0, slash);
    struct stat info {};
    if (::stat(parent.c_str(), &info) == 0) return true;
    if (!createParentDirectories(parent, error)) return false;
    if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
        error = errno;
        return false;
    }
    return true;
}

std::string currentDirectory() {
    std::vector<char> buffer(4096);
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE || buffer.size() > (1u << 20)) return "/";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

// The candidate the exec will succeed with, as far as can be told
// beforehand: the first that is a file this process may execute.
const std::string* firstRunnable(const std::vector<std::string>& paths) {
    for (const auto& path : paths) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0)
            return &path;
    }
    return nullptr;
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

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
        const std::string dir =
            searchPath.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
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

    const LaunchPlan plan{
        pathList.data(), argv.data(), environ, writeFd, nullFd, maxFd, directory.empty() ? nullptr : directory.c_str(),
        sessionLeader};

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

void LinuxProcessControl::stillRunning(const std::vector<ProcessHandle*>& processes, std::vector<char>& running) {
    running.assign(processes.size(), 0);
    // Kept between passes: a pass over a thousand servers allocates nothing.
    thread_local std::vector<pollfd> watches;
    thread_local std::vector<std::size_t> at;
    watches.clear();
    at.clear();
    for (std::size_t i = 0; i < processes.size(); ++i) {
        const std::intptr_t fd = processes[i] ? processes[i]->waitable() : -1;
        if (fd < 0) continue;
        watches.push_back(pollfd{static_cast<int>(fd), POLLIN, 0});
        at.push_back(i);
    }
    if (watches.empty()) return;
    int n;
    do {
        n = ::poll(watches.data(), watches.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return;
    for (std::size_t k = 0; k < watches.size(); ++k)
        if (watches[k].revents == 0) running[at[k]] = 1;
}

LinuxProcessControl::~LinuxProcessControl() {
    // The writer carries on what it has and ends with its last stream.
    if (writerControl_ >= 0) ::close(writerControl_);
}

int LinuxProcessControl::handOverOutput(const LaunchRequest& request, int pipeRead, int outputFd, int maxFd,
                                        int& drainFd) {
    drainFd = -1;
    std::lock_guard<std::mutex> lock(writerMutex_);
    // A writer that has ended (killed, crashed) is replaced once; so is one
    // of another program (the settings changed).
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (writerControl_ >= 0 && writerProgram_ != request.outputWriter) {
            ::close(writerControl_);
            writerControl_ = -1;
        }
        if (writerControl_ < 0) {
            writerPid_ = startOutputWriter(request.outputWriter, maxFd, writerControl_);
            writerProgram_ = request.outputWriter;
            if (writerPid_ <= 0) return 0;
        }
        int drain[2] = {-1, -1};
        if (::pipe2(drain, O_CLOEXEC) != 0) return 0;
        const int drainRead = aboveStandardStreams(drain[0]);
        const int drainWrite = aboveStandardStreams(drain[1]);
        int error = 0;
        const bool offered =
            drainRead >= 0 && drainWrite >= 0 && offerOutput(writerControl_, request, pipeRead, outputFd, drainWrite, error);
        if (drainWrite >= 0) ::close(drainWrite);
        if (offered) {
            drainFd = drainRead;
            return writerPid_;
        }
        if (drainRead >= 0) ::close(drainRead);
        if (error != EPIPE && error != ECONNRESET && error != ENOTCONN) return 0;
        ::close(writerControl_);
        writerControl_ = -1;
    }
    return 0;
}

std::unique_ptr<ProcessHandle> LinuxProcessControl::start(const LaunchRequest& request, LaunchFailure& failure) {
    failure = LaunchFailure{};
    auto fail = [&failure](int error, std::string text) -> std::unique_ptr<ProcessHandle> {
        failure.error = error;
        failure.text = std::move(text);
        return nullptr;
    };

    std::vector<std::string> words;
    if (CommandLineSplitter::split(request.commandLine, words) != CommandLineSplitter::Result::Ok)
        return fail(EINVAL, "the command line has a quote that is not closed");
    if (words.empty()) return fail(EINVAL, "the command line is empty");
    if (words[0].empty()) return fail(ENOENT, "cannot execute '': " + errorText(ENOENT));
    for (const auto& variable : request.environment)
        if (variable.first.empty() || variable.first.find('=') != std::string::npos ||
            variable.first.find('\0') != std::string::npos || variable.second.find('\0') != std::string::npos)
            return fail(EINVAL, "cannot set the environment variable " + quoted(variable.first) +
                                    ": not a valid name or value");

    // Who the server runs as. Decided before anything is made, so a
    // refusal leaves nothing behind.
    bool changeIdentity = false;
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    std::vector<gid_t> groups;
    std::vector<std::pair<std::string, std::string>> identityVariables;
    if (!request.user.empty() || !request.group.empty()) {
        const std::string who =
            !request.user.empty() ? "user " + quoted(request.user) : "group " + quoted(request.group);
        if (::geteuid() != 0)
            return fail(EPERM, "cannot run as " + who + ": only a supervisor running as root can change user or group");
        changeIdentity = true;
        bool found = false;
        Account user, primary;
        if (!request.user.empty()) {
            if (const int error = findUser(request.user, user, found))
                return fail(error, "cannot run as user " + quoted(request.user) + ": " + errorText(error));
            if (!found) return fail(0, "cannot run as user " + quoted(request.user) + ": no such user");
            uid = static_cast<uid_t>(user.id);
            gid = user.primaryGroup;
        }
        if (!request.group.empty()) {
            if (const int error = findGroup(request.group, primary, found))
                return fail(error, "cannot run as group " + quoted(request.group) + ": " + errorText(error));
            if (!found) return fail(0, "cannot run as group " + quoted(request.group) + ": no such group");
            gid = static_cast<gid_t>(primary.id);
        }
        if (!request.user.empty()) {
            groups = groupsOf(user.name, gid);
            identityVariables = {{"HOME", user.home}, {"USER", user.name}, {"LOGNAME", user.name}};
        } else {
            groups = {gid};  // root keeps its user and takes on just this group
        }
    }

    // The program: the candidates of the search made absolute, since the
    // child changes its directory before the exec.
    std::vector<std::string> paths = candidatePaths(words[0]);
    const std::string here = currentDirectory();
    for (auto& path : paths)
        if (path.empty() || path[0] != '/') path = (here == "/" ? "/" : here + "/") + path;
    std::string directory = request.workingDirectory;
    if (directory.empty()) {
        // The directory of the program that will run; when none can be
        // found the exec fails and tells why, so the directory is moot.
        if (const std::string* program = firstRunnable(paths)) directory = directoryOf(*program);
    }

    // The environment.
    std::vector<std::string> own;
    for (char** entry = environ; entry && *entry; ++entry) own.emplace_back(*entry);
    std::vector<std::pair<std::string, std::string>> variables = identityVariables;
    variables.insert(variables.end(), request.environment.begin(), request.environment.end());
    std::vector<std::string> environment =
        ServerEnvironment::build(own, ServerEnvironment::startedByServiceManager(), variables, false);

    std::vector<const char*> pathList;
    for (const auto& path : paths) pathList.push_back(path.c_str());
    pathList.push_back(nullptr);
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    rlimit files{};
    int maxFd = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        maxFd = static_cast<int>(files.rlim_cur < 65536 ? files.rlim_cur : 65536);

    // The descriptors the child takes over, each kept above the standard
    // streams so its dup2 onto 0..2 cannot overwrite another.
    int outputFd = -1;
    if (!request.outputFile.empty()) {
        int error = 0;
        if (!createParentDirectories(request.outputFile, error)) {
            failure.outputFile = true;
            return fail(error, "cannot create the directory of the output file " + quoted(request.outputFile) + ": " +
                                   errorText(error));
        }
        outputFd = aboveStandardStreams(
            ::open(request.outputFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640));
        if (outputFd < 0) {
            failure.outputFile = true;
            return fail(errno, "cannot open the output file " + quoted(request.outputFile) + ": " + errorText(errno));
        }
    }
    const int nullFd = aboveStandardStreams(::open("/dev/null", O_RDWR | O_CLOEXEC));
    int pipeFds[2] = {-1, -1};
    int readFd = -1, writeFd = -1;
    const bool ready = nullFd >= 0 && ::pipe2(pipeFds, O_CLOEXEC) == 0 &&
                       (readFd = aboveStandardStreams(pipeFds[0])) >= 0 &&
                       (writeFd = aboveStandardStreams(pipeFds[1])) >= 0;
    if (!ready) {
        const int error = errno;
        for (const int fd : {outputFd, nullFd, readFd, writeFd})
            if (fd >= 0) ::close(fd);
        return fail(error, "cannot start a process: " + errorText(error));
    }

    // With a writer, the server's output goes into a pipe the writer
    // drains into the file; without one (none installed, or it could not
    // take the pipe) the server appends to the file itself.
    int writerPid = 0, drainFd = -1;
    if (outputFd >= 0 && !request.outputWriter.empty()) {
        int outputPipe[2] = {-1, -1};
        if (::pipe2(outputPipe, O_CLOEXEC) == 0) {
            const int pipeRead = aboveStandardStreams(outputPipe[0]);
            const int pipeWrite = aboveStandardStreams(outputPipe[1]);
            if (pipeRead >= 0 && pipeWrite >= 0) writerPid = handOverOutput(request, pipeRead, outputFd, maxFd, drainFd);
            if (pipeRead >= 0) ::close(pipeRead);
            if (writerPid > 0) {
                ::close(outputFd);
                outputFd = pipeWrite;
            } else if (pipeWrite >= 0) {
                ::close(pipeWrite);
            }
        }
    }

    const StartPlan plan{pathList.data(),
                         argv.data(),
                         envp.data(),
                         writeFd,
                         nullFd,
                         outputFd >= 0 ? outputFd : nullFd,
                         maxFd,
                         directory.empty() ? nullptr : directory.c_str(),
                         changeIdentity,
                         uid,
                         gid,
                         groups.data(),
                         groups.size()};

    // No signal handler of the supervisor may run in the child before it
    // has reset the handlers. The registry is held from the fork until the
    // child is on record, so no reaper can collect it unrecorded.
    LinuxChildRegistry& registry = LinuxChildRegistry::Instance();
    sigset_t all, previous;
    sigfillset(&all);
    std::unique_lock<std::mutex> held = registry.hold();
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = spawnServer(plan);
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    int pidfd = -1;
    std::shared_ptr<LinuxChild> child;
    if (pid > 0) {
        // The child cannot have been collected yet, so its ID is still its
        // own: the pidfd names it.
        pidfd = openPidfd(pid);
        child = registry.addHeld(pid);
    }
    held.unlock();
    ::close(writeFd);
    ::close(nullFd);
    if (outputFd >= 0) ::close(outputFd);
    if (pid < 0) {
        ::close(readFd);
        if (drainFd >= 0) ::close(drainFd);
        return fail(forkError, "cannot start a process: " + errorText(forkError));
    }

    // The report pipe is closed by the exec (close-on-exec), or after a
    // failure report by the child's end.
    Report report{0, 0};
    const bool reported = readReport(readFd, report);
    ::close(readFd);

    auto handle = LinuxProcessHandle::child(static_cast<int>(pid), pidfd, child);
    if (!reported) {
        handle->setOutputWriter(writerPid, drainFd);
        return handle;
    }
    if (drainFd >= 0) ::close(drainFd);

    // The child ends at once after its report: wait for that and collect
    // it, so a failed start leaves no trace.
    if (pidfd >= 0) {
        pollfd watch{pidfd, POLLIN, 0};
        while (::poll(&watch, 1, kWaitForEndMs) < 0 && errno == EINTR) {
        }
    } else {
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
        }
    }
    handle->exitStatus();
    handle.reset();

    const int error = report.value;
    const std::string reason = errorText(error);
    switch (report.kind) {
        case kStepSession: return fail(error, "cannot start a session of its own: " + reason);
        case kStepGroups:
        case kStepGroup:
            return fail(error, "cannot run as group " +
                                   quoted(request.group.empty() ? std::to_string(gid) : request.group) + ": " + reason);
        case kStepUser: return fail(error, "cannot run as user " + quoted(request.user) + ": " + reason);
        case kStepDirectory:
            return fail(error, "cannot change to the working directory " + quoted(directory) + ": " + reason);
        case kStepStreams: return fail(error, "cannot set up the standard streams: " + reason);
        default: return fail(error, "cannot execute " + quoted(words[0]) + ": " + reason);
    }
}

int LinuxProcessControl::reapChildren() { return LinuxChildRegistry::Instance().reap(); }

bool becomeChildSubreaper() {
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return false;
    LinuxChildRegistry::Instance().setSubreaper();
    return true;
}

bool watchChildEnds() {
    // Every thread must hold SIGCHLD back, or one that does not would take
    // it and the descriptor would never tell: only while this is the only
    // thread, whose mask the threads it starts inherit.
    std::size_t threads = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks))
            if (entry->d_name[0] != '.') ++threads;
        ::closedir(tasks);
    }
    if (threads != 1) return false;
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    if (::pthread_sigmask(SIG_BLOCK, &child, nullptr) != 0) return false;
    const int fd = ::signalfd(-1, &child, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) {
        ::pthread_sigmask(SIG_UNBLOCK, &child, nullptr);
        return false;
    }
    LinuxChildRegistry::Instance().setEndsDescriptor(fd);
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
