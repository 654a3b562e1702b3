#pragma once
#include <atomic>
#include <cstdint>
#include <string>

// How the alerts of one channel fared since the program started, for the
// metrics: delivered, given up, tried again, pushed out of a full queue,
// gathered into a digest. Counted from the channel's threads; read from any.
struct ChannelCounters {
    explicit ChannelCounters(std::string channel) : name(std::move(channel)) {}

    const std::string name;
    std::atomic<std::uint64_t> sent{0};
    std::atomic<std::uint64_t> failed{0};
    std::atomic<std::uint64_t> retried{0};
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<std::uint64_t> digested{0};
};
