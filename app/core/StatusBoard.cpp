#include "app/core/StatusBoard.h"

#include <chrono>
#include <utility>

#include "supervision/Supervisor.h"

StatusBoard::StatusBoard() : current_(std::make_shared<StatusSnapshot>()) {}

StatusSnapshot StatusBoard::snapshotOf(const Supervisor& supervisor) {
    StatusSnapshot snapshot;
    fill(snapshot, supervisor);
    return snapshot;
}

void StatusBoard::fill(StatusSnapshot& snapshot, const Supervisor& supervisor) {
    snapshot.servers.resize(supervisor.servers().size());
    snapshot.running = 0;
    std::size_t at = 0;
    for (const auto& [index, record] : supervisor.servers()) {
        record->report(snapshot.servers[at]);
        snapshot.running += snapshot.servers[at].running();
        ++at;
    }
    snapshot.passes = supervisor.passes();
}

void StatusBoard::publish(const Supervisor& supervisor, const PassHistogram& passDurations) {
    // No reader can take the spare any more (it is not current), so once
    // the count says none holds it, none will.
    std::shared_ptr<StatusSnapshot> snapshot =
        spare_ && spare_.use_count() == 1 ? std::move(spare_) : std::make_shared<StatusSnapshot>();
    spare_.reset();
    fill(*snapshot, supervisor);
    snapshot->passDurations = passDurations;
    publish(std::shared_ptr<const StatusSnapshot>(snapshot));
    spare_ = std::exchange(last_, std::move(snapshot));
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
