#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/SmallFile.h"
#include "platform/System.h"

namespace platform {
namespace {

const char* kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return "is a FIFO";
    if (S_ISCHR(mode)) return "is a character device";
    if (S_ISBLK(mode)) return "is a block device";
    if (S_ISSOCK(mode)) return "is a socket";
    if (S_ISDIR(mode)) return "is a directory";
    return "is not a regular file";
}

SmallFileRead readBounded(const std::string& path, std::size_t limit, bool wholeOnly, std::string& bytes,
                          std::string& reason) {
    bytes.clear();
    reason.clear();
    // O_NONBLOCK: opening a FIFO for reading returns at once instead of
    // waiting for a writer; O_NOCTTY: a terminal named here never becomes
    // this process's controlling terminal.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        reason = errorText(error);
        return error == ENOENT ? SmallFileRead::missing : SmallFileRead::failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        reason = errorText(errno);
        ::close(fd);
        return SmallFileRead::failed;
    }
    if (!S_ISREG(st.st_mode)) {
        reason = kindOf(st.st_mode);
        ::close(fd);
        return SmallFileRead::notRegular;
    }
    if (wholeOnly && st.st_size > static_cast<off_t>(limit)) {
        reason = "holds " + std::to_string(static_cast<long long>(st.st_size)) + " bytes, more than " +
                 std::to_string(limit);
        ::close(fd);
        return SmallFileRead::tooLarge;
    }
    // Read to the end rather than to the size seen above: a file being
    // rewritten may have been empty a moment ago. One byte beyond the limit
    // tells a file that grew past it meanwhile.
    const std::size_t want = wholeOnly ? limit + 1 : limit;
    char chunk[4096];
    while (bytes.size() < want) {
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, want - bytes.size()));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            reason = errorText(errno);
            ::close(fd);
            bytes.clear();
            return SmallFileRead::failed;
        }
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (bytes.size() > limit) {
        bytes.clear();
        reason = "holds more than " + std::to_string(limit) + " bytes";
        return SmallFileRead::tooLarge;
    }
    return SmallFileRead::ok;
}

}  // namespace

SmallFileRead readSmallFile(const std::string& path, std::size_t limit, std::string& bytes, std::string& reason) {
    return readBounded(path, limit, true, bytes, reason);
}

SmallFileRead readFileHead(const std::string& path, std::size_t limit, std::string& bytes) {
    std::string reason;
    return readBounded(path, limit, false, bytes, reason);
}

}  // namespace platform
