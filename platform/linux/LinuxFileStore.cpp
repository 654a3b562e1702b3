#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/FileStore.h"
#include "platform/System.h"

namespace platform {
namespace {

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The file a write to `path` should replace: the target of a symbolic link,
// else `path` itself.
std::string replacementTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved)) return resolved;
    }
    return path;
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates a new, empty temporary file next to `target`; -1 on failure.
int createTemporary(const std::string& target, mode_t mode, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) return fd;
        if (errno != EEXIST) return -1;
    }
    return -1;
}

}  // namespace

FileRead readWholeFile(const std::string& path, std::string& bytes) {
    bytes.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? FileRead::missing : FileRead::failed;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return FileRead::failed;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            bytes.clear();
            return FileRead::failed;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return FileRead::ok;
}

bool replaceWholeFile(const std::string& path, std::string_view bytes, NewFileAccess access) {
    std::string reason;
    return replaceWholeFile(path, bytes, access, reason);
}

bool replaceWholeFile(const std::string& path, std::string_view bytes, NewFileAccess access, std::string& reason) {
    const std::string target = replacementTarget(path);
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    // A file we may not write to stays as it is, as with an in-place write.
    if (exists && ::access(target.c_str(), W_OK) != 0) {
        reason = errorText(errno);
        return false;
    }

    // A new file gets the mode through open(), so the umask applies to it.
    const mode_t mode = access == NewFileAccess::ownerOnly ? 0600 : 0666;
    std::string temporary;
    const int fd = createTemporary(target, exists ? 0600 : mode, temporary);
    if (fd < 0) {
        reason = errorText(errno);
        return false;
    }

    bool ok = true;
    int error = 0;
    auto failed = [&error] {
        if (error == 0) error = errno;
        return false;
    };
    if (exists) {
        // Owner and group first: changing them may clear set-id bits.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Not permitted for a file of another user; the new file stays ours.
        }
        ok = ::fchmod(fd, old.st_mode & 07777) == 0 || failed();
    }
    ok = ok && ((writeAll(fd, bytes) && ::fsync(fd) == 0) || failed());
    ok = (::close(fd) == 0 || failed()) && ok;
    ok = ok && (::rename(temporary.c_str(), target.c_str()) == 0 || failed());
    if (!ok) {
        ::unlink(temporary.c_str());
        reason = errorText(error);
        return false;
    }
    // Make the rename itself durable.
    const int dir = ::open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool readableByOthers(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

bool restrictToOwner(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return errno == ENOENT;
    if ((st.st_mode & 077) == 0) return true;
    return ::chmod(path.c_str(), st.st_mode & 07700) == 0;
}

bool copyFileAccess(const std::string& from, const std::string& to) {
    struct stat st {};
    if (::stat(from.c_str(), &st) != 0) return false;
    // Owner and group first: a chown may clear set-ID bits the chmod sets.
    if (::geteuid() == 0 && ::chown(to.c_str(), st.st_uid, st.st_gid) != 0) return false;
    return ::chmod(to.c_str(), st.st_mode & 07777) == 0;
}

std::FILE* openFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::uint64_t fileIdentity(const std::string& path) {
    struct stat file {};
    if (::stat(path.c_str(), &file) != 0) return 0;
    return (static_cast<std::uint64_t>(file.st_dev) << 40) ^ static_cast<std::uint64_t>(file.st_ino);
}

}  // namespace platform
