#include "platform/linux/LinuxShell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {
namespace {

bool displayAvailable() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

// Reports errno through the pipe to the launching process and ends.
[[noreturn]] void failChild(int reportFd) {
    const int error = errno;
    ssize_t ignored = ::write(reportFd, &error, sizeof error);
    (void)ignored;
    ::_exit(127);
}

}  // namespace

std::string LinuxShell::findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t begin = 0;
    while (begin <= dirs.size()) {
        std::size_t end = dirs.find(':', begin);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end > begin ? dirs.substr(begin, end - begin) : ".";
        const std::string candidate = dir + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        begin = end + 1;
    }
    return {};
}

std::vector<std::string> LinuxShell::scriptCommand(const std::string& script, bool visible) {
    if (visible && displayAvailable()) {
        const std::string terminal = findOnPath("x-terminal-emulator");
        if (!terminal.empty()) return {terminal, "-e", "/bin/sh", script};
    }
    return {"/bin/sh", script};
}

bool LinuxShell::runScript(const std::string& script, const std::string& directory, bool visible) {
    return spawnDetached(scriptCommand(script, visible), directory);
}

bool LinuxShell::openDirectory(const std::string& directory) {
    const std::string opener = findOnPath("xdg-open");
    if (opener.empty()) return false;
    return spawnDetached({opener, directory}, {});
}

bool LinuxShell::spawnDetached(const std::vector<std::string>& argv, const std::string& directory) {
    if (argv.empty()) return false;
    // Everything the children use is prepared here: between fork and exec
    // only async-signal-safe calls are made.
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const char* const dir = directory.empty() ? nullptr : directory.c_str();
    rlimit files{};
    const int maxFd = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                          ? static_cast<int>(files.rlim_cur)
                          : 65536;

    // The grandchild writes errno here when it cannot run the program; the
    // pipe closes without data when exec succeeds.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return false;

    // No signal handler of this process may run in the children.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        // _Fork runs no fork handlers: only async-signal-safe work here.
        const pid_t grandchild = ::_Fork();
        if (grandchild < 0) failChild(report[1]);
        if (grandchild > 0) ::_exit(0);

        struct sigaction defaultAction {};
        defaultAction.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &defaultAction, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);

        if (dir && ::chdir(dir) != 0) failChild(report[1]);
        const int null = ::open("/dev/null", O_RDWR);
        if (null < 0) failChild(report[1]);
        for (int fd = 0; fd < 3; ++fd)
            if (::dup2(null, fd) < 0) failChild(report[1]);
        if (null > 2) ::close(null);
        // Nothing else of this process is handed on.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
            for (int fd = 3; fd < maxFd; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::execv(args[0], args.data());
        failChild(report[1]);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(report[1]);
    if (child < 0) {
        ::close(report[0]);
        return false;
    }

    // The intermediate child ends at once; reaping it leaves nothing behind.
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    return n == 0;
}

Shell& defaultShell() {
    static LinuxShell shell;
    return shell;
}

}  // namespace platform
