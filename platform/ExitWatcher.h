#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/ProcessControl.h"

namespace platform {

// Notices the end of watched processes on a thread of its own, so that the
// supervisor can check a server as soon as it exits instead of at the next
// tick. The thread only records which watch ended and calls `wake`; the
// supervisor's own thread then collects them with takeExited.
class ExitWatcher {
public:
    virtual ~ExitWatcher() = default;

    // Starts the thread. `wake` is called from it, never from the caller's
    // thread, each time watches have ended. False when the platform cannot
    // watch processes (the supervisor then relies on its timer).
    virtual bool start(std::function<void()> wake) = 0;

    // Watches a process under `id` (ids are the caller's; never reused).
    // False when this process cannot be watched. The watcher keeps what it
    // needs of the handle: the handle may be destroyed afterwards.
    virtual bool watch(std::uint64_t id, ProcessHandle& process) = 0;
    virtual void unwatch(std::uint64_t id) = 0;

    // The ids whose process has ended since the last call; each once.
    virtual void takeExited(std::vector<std::uint64_t>& ids) = 0;
    // True when, at this moment, every watched process still runs: none
    // has ended, whether noticed yet or not (told and not yet taken counts
    // as ended). False where the platform cannot tell that cheaply, or
    // while the thread is not running.
    virtual bool noneEnded() { return false; }

    // Ends the thread; start may be called again afterwards.
    virtual void stop() = 0;
};

// The machine's own, from the platform folder CMake chooses.
std::unique_ptr<ExitWatcher> makeExitWatcher();

}  // namespace platform
