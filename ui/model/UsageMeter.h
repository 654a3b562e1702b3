#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "supervision/Clock.h"

// What the servers' processes use, as their rows show it: the processor as
// a percentage of one core over the time between two looks (the check
// interval), and the resident memory. The window looks at the servers it
// shows after each check pass, and only while it is shown: the checks
// themselves read nothing more for it.
class UsageMeter {
public:
    struct Reading {
        std::optional<double> cpuSeconds;  // processor time used so far
        std::optional<std::uint64_t> residentBytes;
    };
    using Reader = std::function<Reading(int pid)>;
    // The system's own readings of a process.
    static Reading readProcess(int pid);

    explicit UsageMeter(Reader reader = readProcess);

    // Looks at the process `pid` of the server `index`. A new process (or
    // none) starts the server's readings afresh: the percentage needs two
    // looks at the same process.
    void measure(std::int32_t index, std::int32_t pid, Clock::TimePoint now);
    // Drops the readings of servers no longer listed.
    void forget(const std::function<bool(std::int32_t index)>& listed);

    // The cells of the server while it holds `pid`: empty texts until there
    // is a reading of that process.
    struct Cells {
        std::string cpu;     // "12.5%"
        std::string memory;  // "12.3 MB"
    };
    Cells cells(std::int32_t index, std::int32_t pid) const;

    // "0.0%", "12.5%", "200.0%" (two cores).
    static std::string percentText(double percent);
    // "640 KB", "12.3 MB", "1.25 GB".
    static std::string memoryText(std::uint64_t bytes);

private:
    struct Server {
        std::int32_t pid = 0;
        std::optional<double> cpuSeconds;
        Clock::TimePoint at{};
        std::optional<double> percent;
        std::optional<std::uint64_t> residentBytes;
    };
    Reader reader_;
    std::map<std::int32_t, Server> servers_;
};
