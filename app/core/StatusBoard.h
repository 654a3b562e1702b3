#pragma once
#include <memory>
#include <mutex>
#include <vector>

#include "app/core/StatusSnapshot.h"

class Supervisor;

// Where the loop publishes its snapshot and the worker threads read it. A
// reader gets the whole snapshot of one moment and keeps it as long as it
// likes; the lock is held only to swap or take the pointer, so the loop
// never waits for a reader.
class StatusBoard {
public:
    StatusBoard();

    // On the loop's thread: the records as they are now.
    void publish(const Supervisor& supervisor, const PassHistogram& passDurations);
    void publish(std::shared_ptr<const StatusSnapshot> snapshot);
    std::shared_ptr<const StatusSnapshot> current() const;

    // The snapshot of the supervisor's records.
    static StatusSnapshot snapshotOf(const Supervisor& supervisor);

private:
    // A snapshot the loop fills, and the version of each record's view its
    // report was made from.
    struct Filled {
        std::shared_ptr<StatusSnapshot> snapshot;
        std::vector<std::uint64_t> versions;
    };
    // The records into `snapshot`, reusing what it holds: a report whose
    // record's view has kept the version it was made from has only its
    // clocks brought up to now.
    static void fill(StatusSnapshot& snapshot, std::vector<std::uint64_t>& versions, const Supervisor& supervisor);

    mutable std::mutex mutex_;
    std::shared_ptr<const StatusSnapshot> current_;
    // The loop's own: the snapshot it published last, and the one before,
    // whose room is reused once no reader holds it any more (at each pass,
    // a thousand servers' reports are not made anew).
    Filled last_;
    Filled spare_;
};
