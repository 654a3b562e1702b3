#include "app/core/OutputRotator.h"

#include <set>

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

int OutputRotator::rotateLarge(const std::vector<std::string>& files, std::int64_t maxBytes, int backups) {
    if (maxBytes <= 0) return 0;
    int rotated = 0;
    for (const std::string& file : files) {
        const std::int64_t size = ServerOutputFile::size(file);
        if (size <= maxBytes) continue;
        std::string error;
        if (ServerOutputFile::rotate(file, backups, error)) {
            ++rotated;
            AppLogger::Instance().get().info("Rotated {} at {} bytes ({} backup(s) kept)", file, size, backups);
        } else {
            AppLogger::Instance().get().error("Cannot rotate {}: {}", file, error);
        }
    }
    return rotated;
}

void OutputRotator::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, period_, [this] { return stopping_; });
        if (stopping_) break;
        const std::int64_t maxBytes = maxBytes_;
        const int backups = backups_;
        lock.unlock();
        std::set<std::string> files;
        for (const ServerStatus& server : board_.current()->servers)
            if (!server.outputFile.empty()) files.insert(server.outputFile);
        const int rotated = rotateLarge(std::vector<std::string>(files.begin(), files.end()), maxBytes, backups);
        lock.lock();
        rotations_ += static_cast<std::uint64_t>(rotated);
    }
}
