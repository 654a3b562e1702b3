#pragma once
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/StateFile.h"
#include "supervision/StateStore.h"

// The state file as the Supervisor's state store. The file is replaced
// whole and flushed to disk, which may take a while: writes go to a thread
// of its own, so the checking thread never waits for the disk. Only the
// newest records handed over are written; records handed over while a
// write is under way wait for the next one. What cannot be read or written
// is logged.
class StateFileWriter : public StateStore {
public:
    explicit StateFileWriter(std::string path);
    // Writes what is still pending, then ends the thread.
    ~StateFileWriter() override;
    StateFileWriter(const StateFileWriter&) = delete;
    StateFileWriter& operator=(const StateFileWriter&) = delete;

    std::vector<RememberedServer> read(std::string& bootId) override;
    void write(std::vector<RememberedServer> records) override;

    // Returns once everything handed over is in the file (or has failed).
    void flush();

    const std::string& path() const { return file_.path(); }

private:
    void run();

    StateFile file_;
    const std::string bootId_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::optional<std::vector<RememberedServer>> pending_;
    bool writing_ = false;
    bool stopping_ = false;
    std::string lastError_;  // each failure is logged once, not at every write
    std::thread thread_;
};
