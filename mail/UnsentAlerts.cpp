#include "mail/UnsentAlerts.h"

void UnsentAlerts::add(const std::vector<std::string>& alerts) {
    std::lock_guard lock(mutex_);
    alerts_.insert(alerts_.end(), alerts.begin(), alerts.end());
}

std::string UnsentAlerts::take() {
    std::lock_guard lock(mutex_);
    if (taken_ > 0 || alerts_.empty()) return {};
    taken_ = alerts_.size();
    return note(alerts_);
}

void UnsentAlerts::delivered() {
    std::lock_guard lock(mutex_);
    alerts_.erase(alerts_.begin(), alerts_.begin() + static_cast<std::ptrdiff_t>(taken_));
    taken_ = 0;
}

void UnsentAlerts::notDelivered() {
    std::lock_guard lock(mutex_);
    taken_ = 0;
}

std::size_t UnsentAlerts::size() const {
    std::lock_guard lock(mutex_);
    return alerts_.size();
}

std::string UnsentAlerts::note(const std::vector<std::string>& alerts) {
    constexpr std::size_t kMostNamed = 100;
    std::string text =
        std::to_string(alerts.size()) + (alerts.size() == 1 ? " alert" : " alerts") + " could not be sent: ";
    for (std::size_t i = 0; i < alerts.size() && i < kMostNamed; ++i) text += (i > 0 ? ", " : "") + alerts[i];
    if (alerts.size() > kMostNamed) text += ", …";
    return text;
}
