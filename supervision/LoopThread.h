#pragma once
#include <atomic>
#include <thread>

// The thread a Supervisor runs on. Its records, the checks and the commands
// belong to that thread alone (docs/threads.md says who may touch what);
// the entry points check it in debug and sanitizer builds, where a call
// from another thread ends the program at once with the place it came
// from. Bound by the first call that checks.
class LoopThread {
public:
    void check(const char* where) {
#ifdef PROCWARD_LOOP_CHECKS
        const std::thread::id self = std::this_thread::get_id();
        std::thread::id expected{};
        if (owner_.compare_exchange_strong(expected, self) || expected == self) return;
        misuse(where);
#else
        (void)where;
#endif
    }
    // The thread changes hands on purpose (a program that hands its runtime
    // from the thread that built it to the one that runs it).
    void release() { owner_.store(std::thread::id{}); }

private:
    [[noreturn]] static void misuse(const char* where);
    std::atomic<std::thread::id> owner_{};
};
