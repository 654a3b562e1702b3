#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// One server's output on its way into its file, as the writer program
// (platform/OutputWriter.h) carries it: appended, rotated by renaming at
// the exact size, whole lines to each file, and on a full disk dropped with
// one marker line before the first bytes that fit again. The file is a
// descriptor or a handle, opened for appending; the calls on it are the
// platform's (platform/OutputFileCalls.h).
class OutputStream {
public:
    using File = std::intptr_t;

    OutputStream(File file, std::string path, long long maxBytes, int backups)
        : file_(file), path_(std::move(path)), maxBytes_(maxBytes), backups_(backups) {}
    ~OutputStream();
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    // What was read from the server's pipe, into the file.
    void take(const char* bytes, std::size_t count);
    // A line about the writer's own trouble, into the file too.
    void complain(const char* what, int error);

private:
    long long currentSize() const;
    bool writeAll(const char* bytes, std::size_t count);
    bool writeMarker();
    void followPath();
    bool reopenPath();
    bool rotate();

    File file_;
    std::string path_;
    long long maxBytes_;
    int backups_;
    long long dropped_ = 0;
    int dropReason_ = 0;
    bool reopen_ = false;
    bool complained_ = false;
    long long pathCheckedAt_ = 0;
};

}  // namespace platform
