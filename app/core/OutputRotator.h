#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class StatusBoard;

// Keeps the servers' output files within SERVER_LOG_MAX_MB: a thread of its
// own looks at the size of each file (one stat, on the file's own schedule:
// see OutputLookSchedule) and
// rotates those above the limit (see ServerOutputFile::rotate), so the
// loop never reads or copies a server's output. The files come from the
// published status snapshot.
class OutputRotator {
public:
    explicit OutputRotator(const StatusBoard& board);
    ~OutputRotator();
    OutputRotator(const OutputRotator&) = delete;
    OutputRotator& operator=(const OutputRotator&) = delete;

    // Starts the thread; a `maxBytes` of 0 rotates nothing (the thread then
    // only waits for a change).
    void start(std::chrono::milliseconds period, std::int64_t maxBytes, int backups);
    // New limits, taken at the next look.
    void change(std::chrono::milliseconds period, std::int64_t maxBytes, int backups);
    void stop();

    // One look: rotates each of `files` that is larger than `maxBytes`, and
    // logs what it did. Returns how many were rotated.
    static int rotateLarge(const std::vector<std::string>& files, std::int64_t maxBytes, int backups);
    // Rotates `file`, seen at `size`, when that is above `maxBytes`; logs it.
    static bool rotateIfLarge(const std::string& file, std::int64_t size, std::int64_t maxBytes, int backups);
    // How many rotations the thread has made.
    std::uint64_t rotations() const;

private:
    void run();

    const StatusBoard& board_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::chrono::milliseconds period_{1000};
    // How often it looks when every file has a writer of its own.
    static constexpr std::chrono::milliseconds kIdlePeriod{30000};
    std::int64_t maxBytes_ = 0;
    int backups_ = 0;
    bool stopping_ = false;
    std::uint64_t rotations_ = 0;
    std::thread thread_;
};
