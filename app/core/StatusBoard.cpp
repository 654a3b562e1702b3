#include "app/core/StatusBoard.h"

#include <chrono>
#include <utility>

#include "supervision/Supervisor.h"

StatusBoard::StatusBoard() : current_(std::make_shared<StatusSnapshot>()) {}

StatusSnapshot StatusBoard::snapshotOf(const Supervisor& supervisor) {
    StatusSnapshot snapshot;
    std::vector<std::uint64_t> versions;
    fill(snapshot, versions, supervisor);
    return snapshot;
}

void StatusBoard::fill(StatusSnapshot& snapshot, std::vector<std::uint64_t>& versions, const Supervisor& supervisor) {
    const std::vector<MonitoredServer*>& records = supervisor.records();
    snapshot.servers.resize(records.size());
    versions.resize(records.size(), 0);
    snapshot.running = 0;
    for (std::size_t at = 0; at < records.size(); ++at) {
        const MonitoredServer& record = *records[at];
        ServerReport& report = snapshot.servers[at];
        // Versions are never given twice, not even to another record, and
        // a record gets one before any view has shown it.
        const std::uint64_t version = record.viewVersion();
        if (version != 0 && versions[at] == version) {
            record.reportClocks(report);
        } else {
            record.report(report);
            versions[at] = version;
        }
        snapshot.running += report.running();
    }
    snapshot.passes = supervisor.passes();
}

void StatusBoard::publish(const Supervisor& supervisor, const PassHistogram& passDurations) {
    // No reader can take the spare any more (it is not current), so once
    // the count says none holds it, none will.
    Filled filled = std::move(spare_);
    spare_ = {};
    if (!filled.snapshot || filled.snapshot.use_count() != 1) filled = {std::make_shared<StatusSnapshot>(), {}};
    fill(*filled.snapshot, filled.versions, supervisor);
    filled.snapshot->passDurations = passDurations;
    publish(std::shared_ptr<const StatusSnapshot>(filled.snapshot));
    spare_ = std::exchange(last_, std::move(filled));
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
