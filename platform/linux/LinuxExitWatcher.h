#pragma once
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ExitWatcher.h"

namespace platform {

// One thread waits on an epoll set of a duplicate of each watched pidfd,
// plus an eventfd that tells it to end. The set itself says, in one call
// from any thread, whether any watched process has ended (noneEnded).
class LinuxExitWatcher : public ExitWatcher {
public:
    ~LinuxExitWatcher() override;
    bool start(std::function<void()> wake) override;
    bool watch(std::uint64_t id, ProcessHandle& process) override;
    void unwatch(std::uint64_t id) override;
    void takeExited(std::vector<std::uint64_t>& ids) override;
    bool noneEnded() override;
    void stop() override;

private:
    void run();
    void poke();

    // One watched process: its pidfd and, where its output goes through a
    // writer, what the writer closes once that output is all in the file,
    // waited on once the process has ended (for at most the drain grace) so
    // its end is told after its last output.
    struct Watch {
        int fd = -1;
        int writerFd = -1;
        bool draining = false;
        std::chrono::steady_clock::time_point drainUntil{};
    };
    // Out of the set, and closed.
    void release(const Watch& watch);

    std::mutex mutex_;
    std::map<std::uint64_t, Watch> watched_;  // id -> its own descriptors
    std::vector<std::uint64_t> exited_;
    int draining_ = 0;  // watches waiting for their output
    bool stopping_ = false;
    int eventFd_ = -1;
    int epollFd_ = -1;
    std::function<void()> wake_;
    std::thread thread_;
};

}  // namespace platform
