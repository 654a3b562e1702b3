#include "platform/linux/LinuxSingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

LinuxSingleInstance::~LinuxSingleInstance() {
    if (fd_ >= 0) ::close(fd_);
}

std::string LinuxSingleInstance::lockDirectory() {
    if (const char* dir = std::getenv("PROCWARD_LOCK_DIR"); dir && *dir) return dir;
    struct stat st {};
    if (::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode)) return "/run/lock";
    return "/tmp";
}

std::string LinuxSingleInstance::lockFilePath(const std::string& name) {
    const std::size_t slash = name.find_last_of('\\');
    std::string file = slash == std::string::npos ? name : name.substr(slash + 1);
    for (char& c : file) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-' || c == '_';
        if (!plain) c = '_';
    }
    if (file.empty() || file.front() == '.') file = "_" + file;
    return lockDirectory() + "/" + file + ".lock";
}

bool LinuxSingleInstance::acquire(const std::string& name) {
    if (fd_ >= 0) return true;
    if (name.empty()) return false;
    const std::string path = lockFilePath(name);
    // Close-on-exec: a server launched by this process must not keep the
    // lock alive once the supervisor has gone.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) {
        // Readable by every user, so that a copy started by another user
        // can open it and see the lock.
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid()) ::fchmod(fd, 0644);
    } else if (errno == EACCES || errno == EPERM) {
        // Another user's file in the sticky /run/lock: it can't be opened
        // for writing (or with O_CREAT), but a lock needs only reading.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

SingleInstance& defaultSingleInstance() {
    static LinuxSingleInstance instance;
    return instance;
}

}  // namespace platform
