#include "platform/OutputWriter.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// This program runs once per launched server for as long as the server
// writes, so it stays small: the C library only, no allocation after the
// start, one buffer. Its own complaints go to its standard error, which is
// the server's file too.
namespace platform {
namespace {

// A pipe's worth at first; a server that fills it gets a pipe (and reads)
// of kLargeChunk, so a fast writer costs fewer wake-ups. The buffer's pages
// are touched only as far as reads fill them: a quiet server's writer keeps
// one page.
constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kLargeChunk = 1024 * 1024;
constexpr long kGatherNs = 1000L * 1000;
constexpr int kOut = 1;
// How often the path is compared with the open file: whoever renamed or
// removed the file (an operator, an earlier writer of the same server) is
// followed within this long.
constexpr long kPathCheckNs = 1000L * 1000 * 1000;

long long monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

class Writer {
public:
    Writer(const char* path, long long maxBytes, int backups) : path_(path), maxBytes_(maxBytes), backups_(backups) {}

    int run() {
        static char buffer[kLargeChunk];
        std::size_t chunk = kChunk;
        for (;;) {
            const ssize_t n = ::read(0, buffer, chunk);
            if (n == 0) return 0;  // every writer of the pipe has closed it
            if (n < 0) {
                if (errno == EINTR) continue;
                complain("cannot read the server's output", errno);
                return 1;
            }
            if (static_cast<std::size_t>(n) >= kChunk / 2 && chunk < kLargeChunk &&
                ::fcntl(0, F_SETPIPE_SZ, static_cast<int>(kLargeChunk)) >= static_cast<int>(kLargeChunk))
                chunk = kLargeChunk;
            take(buffer, static_cast<std::size_t>(n));
            // A server writing fast: let its output gather for a moment, so
            // one wake-up takes hundreds of its writes rather than one. The
            // large pipe holds what comes meanwhile (a megabyte fills in
            // more than 3 ms even at 300 MB/s), so the server does not wait.
            if (chunk == kLargeChunk && static_cast<std::size_t>(n) >= kChunk / 2) {
                const timespec pause{0, kGatherNs};
                ::nanosleep(&pause, nullptr);
            }
        }
    }

private:
    void take(const char* bytes, std::size_t count) {
        const long long now = monotonicNs();
        if (reopen_ || now - pathCheckedAt_ >= kPathCheckNs) {
            pathCheckedAt_ = now;
            followPath();
        }
        if (dropped_ > 0 && !writeMarker()) {
            dropped_ += static_cast<long long>(count);
            return;
        }
        // The file is filled to the limit exactly, then rotated, and the
        // rest goes to the new file. The size is the file's, not a count:
        // the supervisor appends its own lines (a launch, an end) too.
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
                const void* end = std::memchr(bytes, '\n', part) ? ::memrchr(bytes, '\n', part) : nullptr;
                if (end) {
                    part = static_cast<std::size_t>(static_cast<const char*>(end) - bytes) + 1;
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
        if (count > 0 && !writeAll(bytes, count)) return;
    }

    long long currentSize() const {
        struct stat file {};
        return ::fstat(kOut, &file) == 0 ? static_cast<long long>(file.st_size) : 0;
    }

    // Writes everything or counts what could not be written: the pipe is
    // drained whatever becomes of the file, so the server never waits on a
    // full disk.
    bool writeAll(const char* bytes, std::size_t count) {
        while (count > 0) {
            const ssize_t n = ::write(kOut, bytes, count);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                dropped_ += static_cast<long long>(count);
                dropReason_ = n < 0 ? errno : ENOSPC;
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
    bool writeMarker() {
        char line[160];
        const time_t now = ::time(nullptr);
        tm local{};
        ::localtime_r(&now, &local);
        char stamp[32];
        ::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        const char* reason =
            dropReason_ == ENOSPC || dropReason_ == EDQUOT ? "no space left" : std::strerror(dropReason_);
        const int length =
            std::snprintf(line, sizeof line, "%s [procward] %lld bytes dropped: %s\n", stamp, dropped_, reason);
        if (length <= 0) return false;
        const std::size_t size = static_cast<std::size_t>(length) < sizeof line ? length : sizeof line - 1;
        const ssize_t n = ::write(kOut, line, size);
        if (n != static_cast<ssize_t>(size)) return false;
        dropped_ = 0;
        return true;
    }

    // The file at the path is no longer the one written (renamed or
    // removed by someone else), or a reopen after a rotation is owed.
    void followPath() {
        struct stat atPath {
        }, open{};
        if (!reopen_ && ::stat(path_, &atPath) == 0 && ::fstat(kOut, &open) == 0 && atPath.st_dev == open.st_dev &&
            atPath.st_ino == open.st_ino)
            return;
        reopenPath();
    }

    bool reopenPath() {
        const int fd = ::open(path_, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC, 0640);
        if (fd < 0) {
            // Written on into the renamed file until the path can be made.
            if (!reopen_) complain("cannot open the output file again", errno);
            reopen_ = true;
            return false;
        }
        // Standard error too: this program's complaints land where its
        // output does.
        ::dup2(fd, kOut);
        ::dup2(fd, 2);
        ::close(fd);
        reopen_ = false;
        return true;
    }

    // Moves the file and its backups one place up by renaming, each step
    // whole: a backup is never a partial copy, and nothing needs free space.
    // The oldest beyond the count is replaced by the one below it.
    // True once the path names an empty file to write to.
    bool rotate() {
        if (backups_ == 0) {
            if (::ftruncate(kOut, 0) == 0) return true;
            complain("cannot empty the output file", errno);
            return false;
        }
        char from[4096], to[4096];
        for (int n = backups_; n >= 2; --n) {
            std::snprintf(from, sizeof from, "%s.%d", path_, n - 1);
            std::snprintf(to, sizeof to, "%s.%d", path_, n);
            if (::rename(from, to) != 0 && errno != ENOENT) {
                complain("cannot move a backup of the output file", errno);
                return false;
            }
        }
        std::snprintf(to, sizeof to, "%s.1", path_);
        if (::rename(path_, to) != 0) {
            complain("cannot rotate the output file", errno);
            return false;
        }
        reopen_ = true;
        return reopenPath();
    }

    void complain(const char* what, int error) {
        char line[512];
        const int length = std::snprintf(line, sizeof line, "[procward] output writer: %s %s: %s\n", what, path_,
                                         std::strerror(error));
        if (length > 0) {
            const ssize_t ignored = ::write(2, line, static_cast<std::size_t>(length) < sizeof line ? length : 0);
            (void)ignored;
        }
    }

    const char* path_;
    long long maxBytes_;
    int backups_;
    long long dropped_ = 0;
    int dropReason_ = 0;
    bool reopen_ = false;
    long long pathCheckedAt_ = 0;
};

bool wholeNumber(const char* text, long long& value) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= 0;
}

}  // namespace

int runOutputWriter(int argc, char** argv) {
    long long maxBytes = 0, backups = 0;
    if (argc != 4 || !*argv[1] || !wholeNumber(argv[2], maxBytes) || !wholeNumber(argv[3], backups) || backups > 99) {
        std::fprintf(stderr, "usage: procward-output FILE MAX_BYTES BACKUPS (standard input: the output)\n");
        return 2;
    }
    // Lives as long as the server writes: signals meant for a terminal or
    // for the supervisor's group do not end it; only the pipe's end does.
    for (const int signal : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) ::signal(signal, SIG_IGN);
    // New files (after a rotation) as private as the first one.
    ::umask(027);
    Writer writer(argv[1], maxBytes, static_cast<int>(backups));
    return writer.run();
}

}  // namespace platform
