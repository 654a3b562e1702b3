#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>

// Keeps a channel's repeated log lines to one per kind and minute. The
// first line of a kind in a minute is written as it is; the ones after it
// are only counted, and when the minute is over one line says how many
// there were and the last of them: "Webhook ops: 57 more posts failed in
// the last minute, the last: HTTP 502". Counts without a first line (the
// alerts folded into digests) are only summed up. Not thread-safe: its
// channel calls it under its own lock.
class MinuteLog {
public:
    explicit MinuteLog(std::string channel) : channel_(std::move(channel)) {}

    // An error line of `kind`: written at once when it is the first of its
    // kind this minute, else counted with `last` kept for the summary.
    // `summary` words the count: "more posts failed".
    void error(const std::string& kind, const std::string& line, const std::string& summary, const std::string& last,
               std::int64_t nowMs);
    // `count` things of `kind` that are only summed: "posts folded into digests".
    void count(const std::string& kind, std::uint64_t count, const std::string& summary, std::int64_t nowMs);

    // Writes the summaries of a minute that is over at `nowMs` (with
    // `force`, of the minute under way too, as at exit).
    void flush(std::int64_t nowMs, bool force = false);
    // When the minute with counts still to write ends; none without any.
    std::optional<std::int64_t> due() const;

    // "2,914".
    static std::string grouped(std::uint64_t number);

private:
    struct Tally {
        std::uint64_t count = 0;
        std::string summary;
        std::string last;
        bool error = false;
    };

    std::string channel_;
    std::optional<std::int64_t> start_;  // of the minute under way
    std::map<std::string, Tally> tallies_;
};
