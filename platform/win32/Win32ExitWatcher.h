#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ExitWatcher.h"

namespace platform {

// Waits for the end of watched processes in the system's thread pool
// (RegisterWaitForSingleObject on a duplicate of each process handle): a
// pool thread records the ended watch and calls wake.
class Win32ExitWatcher : public ExitWatcher {
public:
    ~Win32ExitWatcher() override;

    bool start(std::function<void()> wake) override;
    bool watch(std::uint64_t id, ProcessHandle& process) override;
    void unwatch(std::uint64_t id) override;
    void takeExited(std::vector<std::uint64_t>& ids) override;
    void stop() override;

private:
    struct Watch {
        Win32ExitWatcher* owner = nullptr;
        std::uint64_t id = 0;
        HANDLE process = nullptr;  // the watcher's own duplicate
        HANDLE writer = nullptr;   // ... of the process that writes its output, if any
        HANDLE wait = nullptr;
    };
    static void CALLBACK onEnded(PVOID context, BOOLEAN timedOut);
    static void release(Watch& watch);

    std::mutex mutex_;
    bool started_ = false;
    std::function<void()> wake_;
    std::map<std::uint64_t, std::unique_ptr<Watch>> watches_;
    std::vector<std::uint64_t> exited_;
};

}  // namespace platform
