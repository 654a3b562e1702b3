#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& workingDirectory) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0) ::_exit(126);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    fd_ = fds[0];
    ::fcntl(fd_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (fd_ >= 0) ::close(fd_);
}

void ChildProcess::readAvailable(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) output_.append(buffer, static_cast<std::size_t>(n));
}

std::size_t ChildProcess::waitForOutput(const std::string& text, int ms, std::size_t from) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto at = output_.find(text, from);
        if (at != std::string::npos) return at + text.size();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::string::npos;
        readAvailable(static_cast<int>(std::min<long>(left.count(), 100)));
    }
}

void ChildProcess::signal(int number) { ::kill(pid_, number); }

int ChildProcess::wait(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        readAvailable(10);
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            readAvailable(0);
            return status;
        }
    }
    return -1;
}
