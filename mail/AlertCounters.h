#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "mail/ChannelCounters.h"

// How alerts fared since the program started, for the metrics: mailed,
// failed to mail, held back by the minimum alert interval, or only logged
// because the mail is off (no SMTP server or no recipient); and how
// the webhook channels' alerts fared. Counted from
// whichever thread sends; read from any.
class AlertCounters {
public:
    std::atomic<std::uint64_t> sent{0};
    std::atomic<std::uint64_t> failed{0};
    std::atomic<std::uint64_t> suppressed{0};
    std::atomic<std::uint64_t> off{0};
    std::atomic<std::uint64_t> digested{0};  // held back, then mailed in a digest

    // The other channels (the webhooks), each with its own counts; set when
    // the channels are made (at the start and at a reload).
    void setChannels(std::vector<std::shared_ptr<const ChannelCounters>> channels) {
        std::lock_guard lock(mutex_);
        channels_ = std::move(channels);
    }
    std::vector<std::shared_ptr<const ChannelCounters>> channels() const {
        std::lock_guard lock(mutex_);
        return channels_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<const ChannelCounters>> channels_;
};
