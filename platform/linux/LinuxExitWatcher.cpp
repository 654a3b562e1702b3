#include "platform/linux/LinuxExitWatcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

LinuxExitWatcher::~LinuxExitWatcher() { stop(); }

bool LinuxExitWatcher::start(std::function<void()> wake) {
    if (thread_.joinable()) return true;
    eventFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (eventFd_ < 0) return false;
    wake_ = std::move(wake);
    stopping_ = false;
    thread_ = std::thread(&LinuxExitWatcher::run, this);
    return true;
}

void LinuxExitWatcher::poke() {
    const std::uint64_t one = 1;
    if (::write(eventFd_, &one, sizeof one) < 0) {
        // The counter is only full after 2^64 - 1 pokes; a failed poke
        // means the thread is awake already.
    }
}

bool LinuxExitWatcher::watch(std::uint64_t id, ProcessHandle& process) {
    if (!thread_.joinable() || process.waitable() < 0) return false;
    const int fd = ::fcntl(static_cast<int>(process.waitable()), F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto [at, added] = watched_.emplace(id, fd);
        if (!added) {
            closing_.push_back(at->second);
            at->second = fd;
        }
    }
    poke();
    return true;
}

void LinuxExitWatcher::unwatch(std::uint64_t id) {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto at = watched_.find(id);
        if (at == watched_.end()) return;
        closing_.push_back(at->second);
        watched_.erase(at);
    }
    poke();
}

void LinuxExitWatcher::takeExited(std::vector<std::uint64_t>& ids) {
    std::lock_guard<std::mutex> lock(mutex_);
    ids.swap(exited_);
    exited_.clear();
}

void LinuxExitWatcher::stop() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        poke();
        thread_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, fd] : watched_) ::close(fd);
    for (const int fd : closing_) ::close(fd);
    watched_.clear();
    closing_.clear();
    exited_.clear();
    if (eventFd_ >= 0) ::close(eventFd_);
    eventFd_ = -1;
}

void LinuxExitWatcher::run() {
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    for (;;) {
        fds.assign(1, pollfd{eventFd_, POLLIN, 0});
        ids.assign(1, 0);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            // Descriptors are closed here, where no poll can be using them.
            for (const int fd : closing_) ::close(fd);
            closing_.clear();
            for (const auto& [id, fd] : watched_) {
                fds.push_back(pollfd{fd, POLLIN, 0});
                ids.push_back(id);
            }
        }
        const int n = ::poll(fds.data(), fds.size(), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents) {
            std::uint64_t count = 0;
            while (::read(eventFd_, &count, sizeof count) > 0) {
            }
        }
        bool ended = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                auto at = watched_.find(ids[i]);
                if (at == watched_.end() || at->second != fds[i].fd) continue;  // unwatched meanwhile
                ::close(at->second);
                watched_.erase(at);
                exited_.push_back(ids[i]);
                ended = true;
            }
        }
        if (ended && wake_) wake_();
    }
}

std::unique_ptr<ExitWatcher> makeExitWatcher() { return std::make_unique<LinuxExitWatcher>(); }

}  // namespace platform
