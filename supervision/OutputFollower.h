#pragma once
#include <cstdint>
#include <string>

// Follows a server's output file as it grows, across its rotations: each
// poll returns what was appended since the last one. A rotation (the file
// copied to its first backup, then emptied) is noticed by the file being
// shorter than what was read, or by its first backup having changed; what
// had not been read yet is then taken from that backup, and reading goes
// on from the start of the emptied file.
class OutputFollower {
public:
    // Starts at the file's current end (0 when it does not exist yet).
    explicit OutputFollower(std::string path);

    // What was appended since the last poll (or the start); empty when
    // nothing was. At most `limit` bytes at a time; the rest follows at the
    // next polls.
    std::string poll(std::size_t limit = 1024 * 1024);

    const std::string& path() const { return path_; }
    // Offset in the file up to which it has been read.
    std::int64_t offset() const { return offset_; }
    // Rotations noticed so far.
    int rotations() const { return rotations_; }

private:
    std::string path_;
    std::int64_t offset_ = 0;
    std::int64_t backupSize_ = -1;
    int rotations_ = 0;
};
