#include "log/BoundedLogSink.h"

#include <vector>

#include "log/LogRetention.h"
#include "platform/System.h"

namespace {

// At most this many different errors are folded at one time; others are
// written as they come.
constexpr std::size_t kMaxFolds = 256;

// 2914 as "2,914".
std::string grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

}  // namespace

BoundedLogSink::BoundedLogSink(std::shared_ptr<spdlog::sinks::sink> inner, std::string directory,
                               std::string application)
    : inner_(std::move(inner)), directory_(std::move(directory)), application_(std::move(application)) {}

void BoundedLogSink::setMaxBytes(std::uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    maxBytes_ = bytes;
    // Measured with the next line.
    measuredDay_ = -1;
    if (bytes == 0) dropping_ = false;
}

std::tm BoundedLogSink::localDay(spdlog::log_clock::time_point time) {
    std::tm local{};
    platform::localTime(static_cast<std::int64_t>(spdlog::log_clock::to_time_t(time)), local);
    return local;
}

void BoundedLogSink::sink_it_(const spdlog::details::log_msg& msg) {
    closeFolds(msg.time, msg);
    if (msg.level >= spdlog::level::err) {
        std::string text(msg.payload.data(), msg.payload.size());
        const auto fold = folds_.find(text);
        if (fold != folds_.end()) {
            // A few in a row say that it goes on; the rest only add noise.
            if (fold->second.written >= kWrittenPerMinute) {
                ++fold->second.repeats;
                return;
            }
            ++fold->second.written;
        } else if (folds_.size() < kMaxFolds) {
            folds_.emplace(std::move(text), Fold{msg.time, 1, 0, msg.level});
        }
    }
    write(msg);
}

void BoundedLogSink::closeFolds(spdlog::log_clock::time_point now, const spdlog::details::log_msg& like) {
    if (folds_.empty()) return;
    std::vector<std::pair<std::string, Fold>> over;
    for (auto it = folds_.begin(); it != folds_.end();) {
        if (now - it->second.since >= kFoldWindow) {
            if (it->second.repeats > 0) over.emplace_back(it->first, it->second);
            it = folds_.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [text, fold] : over)
        writeText(like, fold.level,
                  text + " ... repeated " + grouped(fold.repeats) + (fold.repeats == 1 ? " time" : " times") +
                      " in the last minute");
}

void BoundedLogSink::writeText(const spdlog::details::log_msg& like, spdlog::level::level_enum level,
                               const std::string& text) {
    spdlog::details::log_msg line(like.time, spdlog::source_loc{}, like.logger_name, level,
                                  spdlog::string_view_t(text.data(), text.size()));
    write(line);
}

void BoundedLogSink::write(const spdlog::details::log_msg& msg) {
    if (maxBytes_ == 0) {
        inner_->log(msg);
        return;
    }
    const std::tm day = localDay(msg.time);
    const int dayNumber = day.tm_year * 1000 + day.tm_yday;
    if (dropping_ && dayNumber == measuredDay_) {
        ++dropped_;
        return;
    }
    // The line's date, the time and level around it: about this much.
    sinceMeasured_ += msg.payload.size() + 34;
    if (dayNumber != measuredDay_ || sinceMeasured_ >= kMeasureEvery) {
        const bool newDay = dayNumber != measuredDay_;
        sinceMeasured_ = 0;
        measuredDay_ = dayNumber;
        if (newDay && dropping_) {
            dropping_ = false;
            const std::string text = std::to_string(dropped_) + " log lines were dropped the day before: LOG_MAX_MB=" +
                                     std::to_string(maxBytes_ >> 20) + " was reached";
            dropped_ = 0;
            spdlog::details::log_msg line(msg.time, spdlog::source_loc{}, msg.logger_name, spdlog::level::warn,
                                          spdlog::string_view_t(text.data(), text.size()));
            inner_->log(line);
        }
        std::uint64_t todayBytes = 0;
        LogRetention::trimToSize(directory_, application_, maxBytes_, day, todayBytes);
        if (todayBytes >= maxBytes_) {
            dropping_ = true;
            dropped_ = 1;
            const std::string text = "The log has reached LOG_MAX_MB=" + std::to_string(maxBytes_ >> 20) +
                                     ": lines are dropped until the next day";
            spdlog::details::log_msg line(msg.time, spdlog::source_loc{}, msg.logger_name, spdlog::level::warn,
                                          spdlog::string_view_t(text.data(), text.size()));
            inner_->log(line);
            return;
        }
    }
    inner_->log(msg);
}

void BoundedLogSink::flush_() { inner_->flush(); }

void BoundedLogSink::set_pattern_(const std::string& pattern) { inner_->set_pattern(pattern); }

void BoundedLogSink::set_formatter_(std::unique_ptr<spdlog::formatter> formatter) {
    inner_->set_formatter(std::move(formatter));
}
