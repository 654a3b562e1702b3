#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "supervision/AlertEvent.h"

// What happened to the servers lately, as the window lists it under
// "最近事件": the supervisor's events (a process that ended, a restart, a
// stop, a failed start, a health verdict), newest first, the last 200 kept.
class RecentEvents {
public:
    static constexpr std::size_t kKept = 200;

    struct Entry {
        std::int64_t time = 0;  // seconds since 1970
        std::string server;     // its name; empty for Procward itself
        std::string what;       // in the window's words
        bool operator==(const Entry&) const = default;
    };

    // Takes an event. `exitText` is how the process of a ServerDown event
    // ended in the window's words (its English reason is used when empty).
    void add(const AlertEvent& event, const std::string& exitText = {});
    // Newest first.
    const std::deque<Entry>& entries() const { return entries_; }
    // Events taken so far, also those no longer kept.
    std::uint64_t count() const { return count_; }

    // What happened, in the window's words: "进程退出（被信号 9 (SIGKILL)
    // 终止），将重启", "重启成功，进程ID 4242", "启动失败：找不到文件".
    static std::string whatOf(const AlertEvent& event, const std::string& exitText);
    // "2026-12-10 15:01:52", local time.
    static std::string timeText(std::int64_t time);

private:
    std::deque<Entry> entries_;
    std::uint64_t count_ = 0;
};
