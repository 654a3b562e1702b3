#include "alerts/MinuteLog.h"

#include "log/AppLogger.h"

namespace {
constexpr std::int64_t kMinuteMs = 60000;

// "1 more post failed" rather than "1 more posts failed".
std::string counted(std::uint64_t count, std::string words) {
    const auto plural = words.find("posts ");
    if (count == 1 && plural != std::string::npos) words.erase(plural + 4, 1);
    return MinuteLog::grouped(count) + " " + words;
}
}  // namespace

std::string MinuteLog::grouped(std::uint64_t number) {
    const std::string digits = std::to_string(number);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        // A comma before every group of three digits counted from the right.
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

void MinuteLog::error(const std::string& kind, const std::string& line, const std::string& summary,
                      const std::string& last, std::int64_t nowMs) {
    flush(nowMs);
    if (!start_) start_ = nowMs;
    const auto known = tallies_.find(kind);
    if (known == tallies_.end()) {
        // The first of the minute, in full; a later one only counts.
        AppLogger::Instance().get().error("{}: {}", channel_, line);
        tallies_[kind] = Tally{0, summary, last, true};
        return;
    }
    ++known->second.count;
    known->second.last = last;
}

void MinuteLog::count(const std::string& kind, std::uint64_t count, const std::string& summary, std::int64_t nowMs) {
    if (count == 0) return;
    flush(nowMs);
    if (!start_) start_ = nowMs;
    Tally& tally = tallies_[kind];
    tally.count += count;
    tally.summary = summary;
}

void MinuteLog::flush(std::int64_t nowMs, bool force) {
    if (!start_ || (!force && nowMs < *start_ + kMinuteMs)) return;
    auto& log = AppLogger::Instance().get();
    for (const auto& [kind, tally] : tallies_) {
        if (tally.count == 0) continue;
        if (tally.error)
            log.error("{}: {} in the last minute, the last: {}", channel_, counted(tally.count, tally.summary),
                      tally.last);
        else
            log.info("{}: {} in the last minute", channel_, counted(tally.count, tally.summary));
    }
    tallies_.clear();
    start_.reset();
}

std::optional<std::int64_t> MinuteLog::due() const {
    if (!start_) return std::nullopt;
    for (const auto& [kind, tally] : tallies_)
        if (tally.count > 0) return *start_ + kMinuteMs;
    return std::nullopt;
}
