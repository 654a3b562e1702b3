#pragma once
#include <cstdint>
#include <string>

// Follows a server's output file as it grows, across its rotations: each
// poll returns what was appended since the last one. A rotation by renaming
// (the file becomes backup 1, a new file takes its place) is noticed by the
// path naming another file: the rest of the file read is taken from the
// backup it has become (even after several rotations), then each newer
// backup, then the new file. A rotation by copying (the file copied to its
// first backup, then emptied) is noticed by the file being shorter than
// what was read, or by its first backup having changed; what had not been
// read yet is then taken from that backup, and reading goes on from the
// start of the emptied file.
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
    std::uint64_t identity_ = 0;  // the file read up to offset_; 0 unknown
    int rotations_ = 0;

    // The backup that is now the file of `identity`; 0 when none is.
    int backupHolding(std::uint64_t identity) const;
    // Reads on in the file at the path itself, noticing a rotation by
    // copying.
    void readLive(std::string& out, std::size_t limit);
};
