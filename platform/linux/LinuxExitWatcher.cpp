#include "platform/linux/LinuxExitWatcher.h"

#include "platform/linux/LinuxProcessHandle.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace platform {

LinuxExitWatcher::~LinuxExitWatcher() { stop(); }

namespace {

// An id never 0: 0 stands for the eventfd.
bool addTo(int epollFd, int fd, std::uint64_t id) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = id;
    return ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

bool LinuxExitWatcher::start(std::function<void()> wake) {
    if (thread_.joinable()) return true;
    eventFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (eventFd_ < 0 || epollFd_ < 0 || !addTo(epollFd_, eventFd_, 0)) {
        for (int* fd : {&eventFd_, &epollFd_})
            if (*fd >= 0) ::close(*fd);
        eventFd_ = epollFd_ = -1;
        return false;
    }
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

void LinuxExitWatcher::release(const Watch& watch) {
    // Out of the set before the close: a descriptor number reused at once
    // is a new entry. An event already taken for it finds no watch.
    for (const int fd : {watch.fd, watch.writerFd}) {
        if (fd < 0) continue;
        ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
    }
}

bool LinuxExitWatcher::watch(std::uint64_t id, ProcessHandle& process) {
    if (!thread_.joinable() || process.waitable() < 0 || id == 0) return false;
    Watch watch;
    watch.fd = ::fcntl(static_cast<int>(process.waitable()), F_DUPFD_CLOEXEC, 3);
    if (watch.fd < 0) return false;
    if (process.outputWaitable() >= 0)
        watch.writerFd = ::fcntl(static_cast<int>(process.outputWaitable()), F_DUPFD_CLOEXEC, 3);
    std::lock_guard<std::mutex> lock(mutex_);
    if (const auto at = watched_.find(id); at != watched_.end()) {
        if (at->second.draining) --draining_;
        release(at->second);
        watched_.erase(at);
    }
    // Added to the set while the thread waits on it: no need to wake it.
    if (!addTo(epollFd_, watch.fd, id)) {
        for (const int fd : {watch.fd, watch.writerFd})
            if (fd >= 0) ::close(fd);
        return false;
    }
    watched_.emplace(id, watch);
    return true;
}

void LinuxExitWatcher::unwatch(std::uint64_t id) {
    if (!thread_.joinable()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto at = watched_.find(id);
    if (at == watched_.end()) return;
    if (at->second.draining) --draining_;
    release(at->second);
    watched_.erase(at);
}

void LinuxExitWatcher::takeExited(std::vector<std::uint64_t>& ids) {
    std::lock_guard<std::mutex> lock(mutex_);
    ids.swap(exited_);
    exited_.clear();
}

bool LinuxExitWatcher::noneEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable() || !exited_.empty() || draining_ > 0) return false;
    // The set is ready once any pidfd in it is (or the eventfd, which only
    // makes this say false for a moment): one call for every process.
    pollfd set{epollFd_, POLLIN, 0};
    int n;
    do {
        n = ::poll(&set, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n == 0;
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
    for (const auto& [id, watch] : watched_) release(watch);
    watched_.clear();
    exited_.clear();
    draining_ = 0;
    for (int* fd : {&eventFd_, &epollFd_})
        if (*fd >= 0) ::close(*fd);
    eventFd_ = epollFd_ = -1;
}

void LinuxExitWatcher::run() {
    using Clock = std::chrono::steady_clock;
    epoll_event events[64];
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            if (draining_ > 0) {
                const Clock::time_point now = Clock::now();
                for (const auto& [id, watch] : watched_) {
                    if (!watch.draining) continue;
                    const auto left = std::chrono::ceil<std::chrono::milliseconds>(watch.drainUntil - now).count();
                    const int wait = left > 0 ? static_cast<int>(left) : 0;
                    timeout = timeout < 0 ? wait : std::min(timeout, wait);
                }
            }
        }
        const int n = ::epoll_wait(epollFd_, events, 64, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        bool ended = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            const Clock::time_point now = Clock::now();
            auto finish = [&](std::map<std::uint64_t, Watch>::iterator at) {
                if (at->second.draining) --draining_;
                release(at->second);
                exited_.push_back(at->first);
                watched_.erase(at);
                ended = true;
            };
            for (int i = 0; i < n; ++i) {
                const std::uint64_t id = events[i].data.u64;
                if (id == 0) {
                    std::uint64_t count = 0;
                    while (::read(eventFd_, &count, sizeof count) > 0) {
                    }
                    continue;
                }
                const auto at = watched_.find(id);
                if (at == watched_.end()) continue;  // unwatched meanwhile
                Watch& watch = at->second;
                if (!watch.draining && watch.writerFd >= 0) {
                    // Ended: told once its writer has written its last
                    // output, waited for from here on instead of the end.
                    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, watch.fd, nullptr);
                    if (addTo(epollFd_, watch.writerFd, id)) {
                        watch.draining = true;
                        ++draining_;
                        watch.drainUntil = now + LinuxProcessHandle::kOutputDrainGrace;
                        continue;
                    }
                }
                finish(at);
            }
            // Those whose grace has run out are told all the same.
            if (draining_ > 0)
                for (auto at = watched_.begin(); at != watched_.end();) {
                    const auto next = std::next(at);
                    if (at->second.draining && now >= at->second.drainUntil) finish(at);
                    at = next;
                }
        }
        if (ended && wake_) wake_();
    }
}

std::unique_ptr<ExitWatcher> makeExitWatcher() { return std::make_unique<LinuxExitWatcher>(); }

}  // namespace platform
