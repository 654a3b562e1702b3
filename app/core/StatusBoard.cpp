#include "app/core/StatusBoard.h"

#include <chrono>
#include <utility>

#include "supervision/Supervisor.h"

StatusBoard::StatusBoard() : current_(std::make_shared<StatusSnapshot>()) {}

StatusSnapshot StatusBoard::snapshotOf(const Supervisor& supervisor) {
    StatusSnapshot snapshot;
    snapshot.servers.reserve(supervisor.servers().size());
    for (const auto& [index, record] : supervisor.servers()) {
        snapshot.servers.push_back(record->report());
        snapshot.running += snapshot.servers.back().running();
    }
    snapshot.passes = supervisor.passes();
    return snapshot;
}

void StatusBoard::publish(const Supervisor& supervisor, const PassHistogram& passDurations) {
    auto snapshot = std::make_shared<StatusSnapshot>(snapshotOf(supervisor));
    snapshot->passDurations = passDurations;
    publish(std::move(snapshot));
}

void StatusBoard::publish(std::shared_ptr<const StatusSnapshot> snapshot) {
    // The old snapshot is released outside the lock.
    std::shared_ptr<const StatusSnapshot> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old = std::exchange(current_, std::move(snapshot));
    }
}

std::shared_ptr<const StatusSnapshot> StatusBoard::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}
