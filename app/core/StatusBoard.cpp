#include "app/core/StatusBoard.h"

#include <chrono>
#include <utility>

#include "supervision/Supervisor.h"

StatusBoard::StatusBoard() : current_(std::make_shared<StatusSnapshot>()) {}

StatusSnapshot StatusBoard::snapshotOf(const Supervisor& supervisor) {
    StatusSnapshot snapshot;
    snapshot.servers.reserve(supervisor.servers().size());
    for (const auto& [index, record] : supervisor.servers()) {
        ServerStatus s;
        s.index = index;
        const ServerInfo& info = record->info();
        s.name = info.name;
        s.pid = info.pid;
        s.listen = info.ports;
        s.startTime = info.pid > 0 ? info.startTime : 0;
        s.autoStart = record->autoStart();
        s.restarts = record->restarts();
        s.state = record->state();
        if (const auto next = record->nextRestartTime()) s.nextAttempt = *next;
        if (const auto& exit = record->lastExit()) {
            s.lastExit = exit->reason();
            s.exit = exit;
        }
        s.startError = record->startError();
        s.uptimeSeconds = std::chrono::duration_cast<std::chrono::seconds>(record->runningFor()).count();
        s.exitsByCode = record->exits(platform::ExitStatus::How::Code);
        s.exitsBySignal = record->exits(platform::ExitStatus::How::Signal);
        s.outputFile = record->outputFile();
        s.outputNote = record->outputNote();
        s.health = record->health();
        if (s.health == HealthState::Unhealthy) s.healthReason = record->healthReason();
        snapshot.running += s.state == ServerState::Running;
        snapshot.servers.push_back(std::move(s));
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
