#include "app/core/OutputRotator.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <set>

#include "app/core/OutputLookSchedule.h"
#include "app/core/StatusBoard.h"
#include "log/AppLogger.h"
#include "supervision/ServerOutputFile.h"

OutputRotator::OutputRotator(const StatusBoard& board) : board_(board) {}

OutputRotator::~OutputRotator() { stop(); }

void OutputRotator::start(std::chrono::milliseconds period, std::int64_t maxBytes, int backups) {
    change(period, maxBytes, backups);
    if (thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    thread_ = std::thread([this] { run(); });
}

void OutputRotator::change(std::chrono::milliseconds period, std::int64_t maxBytes, int backups) {
    std::lock_guard<std::mutex> lock(mutex_);
    period_ = std::max(period, std::chrono::milliseconds(100));
    maxBytes_ = maxBytes;
    backups_ = backups;
}

void OutputRotator::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::uint64_t OutputRotator::rotations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rotations_;
}

bool OutputRotator::rotateIfLarge(const std::string& file, std::int64_t size, std::int64_t maxBytes, int backups) {
    if (maxBytes <= 0 || size <= maxBytes) return false;
    std::string error;
    std::int64_t dropped = 0;
    if (!ServerOutputFile::rotate(file, backups, error, &dropped)) {
        AppLogger::Instance().get().error("Cannot rotate {}: {}", file, error);
        return false;
    }
    if (dropped > 0) {
        // The disk had no room for a copy: the newest output went, the
        // backups stayed, and the file says where the gap is.
        const std::string text = std::to_string(dropped) + " bytes dropped: no space left";
        ServerOutputFile::appendNote(file, std::time(nullptr), text);
        AppLogger::Instance().get().error("{}: {}; its backups are kept", file, text);
        return true;
    }
    AppLogger::Instance().get().info("Rotated {} at {} bytes ({} backup(s) kept)", file, size, backups);
    return true;
}

int OutputRotator::rotateLarge(const std::vector<std::string>& files, std::int64_t maxBytes, int backups) {
    if (maxBytes <= 0) return 0;
    int rotated = 0;
    for (const std::string& file : files)
        rotated += rotateIfLarge(file, ServerOutputFile::size(file), maxBytes, backups) ? 1 : 0;
    return rotated;
}

void OutputRotator::run() {
    // Each file is looked at on its own schedule: most server output is
    // quiet most of the time, and a stat of every file at every period
    // was most of what the supervisor cost at rest.
    std::map<std::string, OutputLookSchedule> schedules;
    // With no file to look after (each has a writer that rotates it), the
    // thread wakes only now and then to see whether that is still so.
    bool idle = false;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, idle ? std::max(period_, kIdlePeriod) : period_, [this] { return stopping_; });
        if (stopping_) break;
        const std::int64_t maxBytes = maxBytes_;
        const int backups = backups_;
        const std::chrono::milliseconds period = period_;
        lock.unlock();
        int rotated = 0;
        if (maxBytes > 0) {
            std::set<std::string> files;
            // Held for the loop: in a range-for over current()->servers the
            // temporary would let go of the snapshot before the first
            // server is read, and the next publish frees it under us.
            const std::shared_ptr<const StatusSnapshot> snapshot = board_.current();
            // A file a writer holds is rotated by that writer, by renaming.
            for (const ServerReport& server : snapshot->servers)
                if (!server.outputFile.empty() && server.outputWriter == 0) files.insert(server.outputFile);
            for (auto it = schedules.begin(); it != schedules.end();)
                it = files.count(it->first) ? std::next(it) : schedules.erase(it);
            idle = files.empty();
            const auto now = OutputLookSchedule::Clock::now();
            for (const std::string& file : files) {
                OutputLookSchedule& schedule = schedules[file];
                if (!schedule.due(now)) continue;
                std::int64_t size = ServerOutputFile::size(file);
                if (rotateIfLarge(file, size, maxBytes, backups)) {
                    ++rotated;
                    size = ServerOutputFile::size(file);
                }
                schedule.seen(size, maxBytes, now, period);
            }
        }
        lock.lock();
        rotations_ += static_cast<std::uint64_t>(rotated);
    }
}
