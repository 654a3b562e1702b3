#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>

#include "mail/MailClock.h"

// The mail clock (the channels' intervals, budgets and retries) as the test
// moves it, installed while the object lives. Read from the channels'
// threads while the test moves it.
class DrivenMailClock {
public:
    explicit DrivenMailClock(std::int64_t startMs) : now_(startMs) {
        SetMailClockMs([this] { return now_.load(); });
    }
    ~DrivenMailClock() { SetMailClockMs({}); }
    DrivenMailClock(const DrivenMailClock&) = delete;
    DrivenMailClock& operator=(const DrivenMailClock&) = delete;

    std::int64_t ms() const { return now_.load(); }
    void advance(std::chrono::milliseconds by) { now_ += by.count(); }
    void set(std::int64_t ms) { now_ = ms; }

private:
    std::atomic<std::int64_t> now_;
};
