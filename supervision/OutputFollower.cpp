#include "supervision/OutputFollower.h"

#include <algorithm>
#include <fstream>

#include "supervision/ServerOutputFile.h"
#include "platform/FileStore.h"

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
}

std::string OutputFollower::poll(std::size_t limit) {
    std::string out;
    const std::string backup = ServerOutputFile::backupPath(path_, 1);
    const std::int64_t backupSize = ServerOutputFile::size(backup);
    std::int64_t size = ServerOutputFile::size(path_);
    if (size < offset_ || (backupSize != backupSize_ && backupSize >= 0)) {
        // Rotated: the copy holds what was written up to the emptying, at
        // the offsets it had in the file.
        ++rotations_;
        if (backupSize > offset_) out = readRange(backup, offset_, backupSize, limit);
        offset_ = 0;
        size = ServerOutputFile::size(path_);
    }
    backupSize_ = backupSize;
    if (size > offset_ && out.size() < limit) {
        std::string more = readRange(path_, offset_, size, limit - out.size());
        offset_ += static_cast<std::int64_t>(more.size());
        out += more;
    }
    return out;
}
