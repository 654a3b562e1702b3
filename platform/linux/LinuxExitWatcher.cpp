#include "platform/linux/LinuxExitWatcher.h"

#include "platform/linux/LinuxProcessHandle.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
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

void LinuxExitWatcher::close(const Watch& watch, std::vector<int>& closing) {
    closing.push_back(watch.fd);
    if (watch.writerFd >= 0) closing.push_back(watch.writerFd);
}

bool LinuxExitWatcher::watch(std::uint64_t id, ProcessHandle& process) {
    if (!thread_.joinable() || process.waitable() < 0) return false;
    Watch watch;
    watch.fd = ::fcntl(static_cast<int>(process.waitable()), F_DUPFD_CLOEXEC, 3);
    if (watch.fd < 0) return false;
    if (process.outputWaitable() >= 0)
        watch.writerFd = ::fcntl(static_cast<int>(process.outputWaitable()), F_DUPFD_CLOEXEC, 3);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto [at, added] = watched_.emplace(id, watch);
        if (!added) {
            close(at->second, closing_);
            at->second = watch;
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
        close(at->second, closing_);
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
    for (const auto& [id, watch] : watched_) close(watch, closing_);
    for (const int fd : closing_) ::close(fd);
    watched_.clear();
    closing_.clear();
    exited_.clear();
    if (eventFd_ >= 0) ::close(eventFd_);
    eventFd_ = -1;
}

void LinuxExitWatcher::run() {
    using Clock = std::chrono::steady_clock;
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    for (;;) {
        fds.assign(1, pollfd{eventFd_, POLLIN, 0});
        ids.assign(1, 0);
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            // Descriptors are closed here, where no poll can be using them.
            for (const int fd : closing_) ::close(fd);
            closing_.clear();
            const Clock::time_point now = Clock::now();
            for (const auto& [id, watch] : watched_) {
                fds.push_back(pollfd{watch.draining ? watch.writerFd : watch.fd, POLLIN, 0});
                ids.push_back(id);
                if (watch.draining) {
                    const auto left = std::chrono::ceil<std::chrono::milliseconds>(watch.drainUntil - now).count();
                    const int wait = left > 0 ? static_cast<int>(left) : 0;
                    timeout = timeout < 0 ? wait : std::min(timeout, wait);
                }
            }
        }
        const int n = ::poll(fds.data(), fds.size(), timeout);
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
            const Clock::time_point now = Clock::now();
            for (std::size_t i = 1; i < fds.size(); ++i) {
                auto at = watched_.find(ids[i]);
                if (at == watched_.end()) continue;  // unwatched meanwhile
                Watch& watch = at->second;
                if (fds[i].fd != (watch.draining ? watch.writerFd : watch.fd)) continue;  // replaced meanwhile
                if (!fds[i].revents && !(watch.draining && now >= watch.drainUntil)) continue;
                if (!watch.draining && watch.writerFd >= 0) {
                    // Ended: told once its writer has written its last output.
                    watch.draining = true;
                    watch.drainUntil = now + LinuxProcessHandle::kOutputDrainGrace;
                    continue;
                }
                close(watch, closing_);
                watched_.erase(at);
                exited_.push_back(ids[i]);
                ended = true;
            }
            // Closed at the next round, before the poll.
        }
        if (ended && wake_) wake_();
    }
}

std::unique_ptr<ExitWatcher> makeExitWatcher() { return std::make_unique<LinuxExitWatcher>(); }

}  // namespace platform
