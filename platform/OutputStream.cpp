#include "platform/OutputStream.h"

#include <cstdio>
#include <cstring>

#include "platform/OutputFileCalls.h"

namespace platform {
namespace {

// How often the path is compared with the open file: whoever renamed or
// removed the file (an operator, an earlier writer of the same server) is
// followed within this long.
constexpr long long kPathCheckNs = 1000LL * 1000 * 1000;

}  // namespace

OutputStream::~OutputStream() {
    if (file_ != outputfile::kNoFile) outputfile::close(file_);
}

void OutputStream::take(const char* bytes, std::size_t count) {
    const long long now = outputfile::monotonicNs();
    if (reopen_ || now - pathCheckedAt_ >= kPathCheckNs) {
        pathCheckedAt_ = now;
        followPath();
    }
    if (dropped_ > 0 && !writeMarker()) {
        dropped_ += static_cast<long long>(count);
        return;
    }
    // The file is filled to the limit exactly, then rotated, and the rest
    // goes to the new file. The size is the file's, not a count: the
    // supervisor appends its own lines (a launch, an end) too.
    while (count > 0) {
        long long size = currentSize();
        if (maxBytes_ > 0 && size >= maxBytes_) {
            if (!rotate()) break;
            size = currentSize();
        }
        const long long room = maxBytes_ > 0 ? maxBytes_ - size : static_cast<long long>(count);
        if (room <= 0) break;
        std::size_t part = room < static_cast<long long>(count) ? static_cast<std::size_t>(room) : count;
        if (part < count) {
            // The file ends at a line's end where one fits, so each file
            // holds whole lines for whoever reads it; a line longer than
            // what is left is cut at the limit only in an empty file.
            std::size_t end = part;
            while (end > 0 && bytes[end - 1] != '\n') --end;
            if (end > 0) {
                part = end;
            } else if (size > 0) {
                if (!rotate()) break;
                continue;
            }
        }
        if (!writeAll(bytes, part)) {
            dropped_ += static_cast<long long>(count - part);
            return;
        }
        bytes += part;
        count -= part;
    }
    // A rotation that failed: written on beyond the limit rather than lost.
    if (count > 0) writeAll(bytes, count);
}

long long OutputStream::currentSize() const { return outputfile::size(file_); }

// Writes everything or counts what could not be written: the pipe is
// drained whatever becomes of the file, so the server never waits on a
// full disk.
bool OutputStream::writeAll(const char* bytes, std::size_t count) {
    while (count > 0) {
        int error = 0;
        const long long n = outputfile::write(file_, bytes, count, error);
        if (n <= 0) {
            dropped_ += static_cast<long long>(count);
            dropReason_ = error;
            return false;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// "2026-12-09 06:40:01 [procward] 1048576 bytes dropped: no space left",
// written before the first bytes that fit again. False when it does not
// fit either.
bool OutputStream::writeMarker() {
    const std::string reason =
        dropReason_ == 0 || outputfile::noSpace(dropReason_) ? "no space left" : outputfile::errorText(dropReason_);
    char line[256];
    const int length = std::snprintf(line, sizeof line, "%s [procward] %lld bytes dropped: %s\n",
                                     outputfile::localStamp().c_str(), dropped_, reason.c_str());
    if (length <= 0) return false;
    const std::size_t size = static_cast<std::size_t>(length) < sizeof line ? length : sizeof line - 1;
    int error = 0;
    if (outputfile::write(file_, line, size, error) != static_cast<long long>(size)) return false;
    dropped_ = 0;
    return true;
}

// The file at the path is no longer the one written (renamed or removed by
// someone else), or a reopen after a rotation is owed.
void OutputStream::followPath() {
    if (!reopen_ && outputfile::samePath(file_, path_)) return;
    reopenPath();
}

bool OutputStream::reopenPath() {
    int error = 0;
    const File file = outputfile::openAppend(path_, error);
    if (file == outputfile::kNoFile) {
        // Written on into the renamed file until the path can be made.
        if (!reopen_) complain("cannot open the output file again", error);
        reopen_ = true;
        return false;
    }
    outputfile::close(file_);
    file_ = file;
    reopen_ = false;
    return true;
}

// Moves the file and its backups one place up by renaming, each step
// whole: a backup is never a partial copy, and nothing needs free space.
// The oldest beyond the count is replaced by the one below it. True once
// the path names an empty file to write to.
bool OutputStream::rotate() {
    int error = 0;
    if (backups_ == 0) {
        if (outputfile::truncate(file_, path_, error)) {
            complained_ = false;
            return true;
        }
        complain("cannot empty the output file", error);
        return false;
    }
    bool missing = false;
    for (int n = backups_; n >= 2; --n) {
        if (!outputfile::rename(path_ + "." + std::to_string(n - 1), path_ + "." + std::to_string(n), error, missing) &&
            !missing) {
                complain("cannot move a backup of the output file", error);
            return false;
        }
    }
    if (!outputfile::rename(path_, path_ + ".1", error, missing)) {
        complain("cannot rotate the output file", error);
        return false;
    }
    complained_ = false;
    reopen_ = true;
    return reopenPath();
}

void OutputStream::complain(const char* what, int error) {
    // A rotation is tried again at each write while it fails (a reader may
    // hold a backup open for a moment): said once until one succeeds.
    if (complained_) return;
    complained_ = true;
    const std::string line =
        "[procward] output writer: " + std::string(what) + " " + path_ + ": " + outputfile::errorText(error) + "\n";
    int ignored = 0;
    outputfile::write(file_, line.data(), line.size(), ignored);
}

}  // namespace platform
