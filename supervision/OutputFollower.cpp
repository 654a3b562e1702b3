#include "supervision/OutputFollower.h"

#include <algorithm>
#include <fstream>

#include "platform/FileStore.h"
#include "supervision/ServerOutputFile.h"

namespace {

// The bytes of `path` from `from` up to `to` (or its end), at most `limit`.
std::string readRange(const std::string& path, std::int64_t from, std::int64_t to, std::size_t limit) {
    if (to <= from) return {};
    std::ifstream in(platform::filePath(path), std::ios::binary);
    if (!in) return {};
    in.seekg(from);
    std::string bytes(static_cast<std::size_t>(std::min<std::int64_t>(to - from, static_cast<std::int64_t>(limit))),
                      '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, in.gcount())));
    return bytes;
}

}  // namespace

OutputFollower::OutputFollower(std::string path) : path_(std::move(path)) {
    offset_ = std::max<std::int64_t>(0, ServerOutputFile::size(path_));
    backupSize_ = ServerOutputFile::size(ServerOutputFile::backupPath(path_, 1));
    identity_ = platform::fileIdentity(path_);
}

int OutputFollower::backupHolding(std::uint64_t identity) const {
    // As many backups as a server may keep.
    constexpr int kMostBackups = 99;
    for (int n = 1; n <= kMostBackups; ++n) {
        const std::uint64_t found = platform::fileIdentity(ServerOutputFile::backupPath(path_, n));
        if (found == 0) return 0;
        if (found == identity) return n;
    }
    return 0;
}

std::string OutputFollower::poll(std::size_t limit) {
    std::string out;
    // Each round reads one file: the one read so far, wherever renaming has
    // taken it, until its end; then the next newer one, up to the live file.
    for (int round = 0; round < 200 && out.size() < limit; ++round) {
        const std::uint64_t live = platform::fileIdentity(path_);
        // Between a rename and the new file: looked at again at the next poll.
        if (live == 0 && identity_ != 0) break;
        if (identity_ == 0 || live == identity_) {
            identity_ = live;
            readLive(out, limit);
            break;
        }
        const int n = backupHolding(identity_);
        ++rotations_;
        if (n == 0) {
            // Gone from the backups too (more rotations than are kept
            // happened since the last poll): on from the live file's start.
            identity_ = live;
            offset_ = 0;
            continue;
        }
        const std::string file = ServerOutputFile::backupPath(path_, n);
        const std::int64_t size = ServerOutputFile::size(file);
        std::string more = readRange(file, offset_, size, limit - out.size());
        offset_ += static_cast<std::int64_t>(more.size());
        out += more;
        if (offset_ < size) {
            --rotations_;  // the same rotation, told once: read on at the next poll
            break;
        }
        identity_ = platform::fileIdentity(n == 1 ? path_ : ServerOutputFile::backupPath(path_, n - 1));
        offset_ = 0;
        backupSize_ = ServerOutputFile::size(ServerOutputFile::backupPath(path_, 1));
    }
    return out;
}

void OutputFollower::readLive(std::string& out, std::size_t limit) {
    const std::string backup = ServerOutputFile::backupPath(path_, 1);
    const std::int64_t backupSize = ServerOutputFile::size(backup);
    std::int64_t size = ServerOutputFile::size(path_);
    if (size < offset_ || (backupSize != backupSize_ && backupSize >= 0)) {
        // Rotated by copying: the copy holds what was written up to the
        // emptying, at the offsets it had in the file.
        ++rotations_;
        if (backupSize > offset_) out += readRange(backup, offset_, backupSize, limit - out.size());
        offset_ = 0;
        size = ServerOutputFile::size(path_);
    }
    backupSize_ = backupSize;
    if (size > offset_ && out.size() < limit) {
        std::string more = readRange(path_, offset_, size, limit - out.size());
        offset_ += static_cast<std::int64_t>(more.size());
        out += more;
    }
}
