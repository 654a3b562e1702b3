#include "app/core/StateFileWriter.h"

#include "log/AppLogger.h"
#include "platform/ProcessIdentity.h"

StateFileWriter::StateFileWriter(std::string path) : file_(std::move(path)), bootId_(platform::bootId()) {}

StateFileWriter::~StateFileWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::vector<RememberedServer> StateFileWriter::read(std::string& bootId) {
    std::vector<RememberedServer> records;
    std::string error;
    if (!file_.read(records, bootId, error)) {
        AppLogger::Instance().get().warn(
            "The state file cannot be read ({}); servers still running from the last run are found by their "
            "command lines only",
            error);
        records.clear();
    }
    return records;
}

void StateFileWriter::write(std::vector<RememberedServer> records) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = std::move(records);
    // The thread comes with the first write: a supervisor that never
    // changes anything needs none.
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    wake_.notify_all();
}

void StateFileWriter::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return !pending_ && !writing_; });
}

void StateFileWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return pending_ || stopping_; });
        if (!pending_) break;  // stopping, with nothing left to write
        std::vector<RememberedServer> records = std::move(*pending_);
        pending_.reset();
        writing_ = true;
        lock.unlock();
        std::string error;
        const bool ok = file_.write(records, bootId_, error);
        lock.lock();
        writing_ = false;
        if (!ok && error != lastError_)
            AppLogger::Instance().get().error(
                "The state file cannot be written ({}); a restart of Procward may not find every server it started",
                error);
        lastError_ = ok ? std::string() : error;
        idle_.notify_all();
    }
    idle_.notify_all();
}
