#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "platform/OutputWriter.h"
#include "platform/System.h"

namespace platform {

std::string executablePath() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return {};
    std::string path(buffer, static_cast<std::size_t>(n));
    static const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.erase(path.size() - deleted.size());
    return path;
}

char pathSeparator() { return '/'; }

std::string outputWriterProgram() {
    const std::string self = executablePath();
    const std::size_t slash = self.rfind('/');
    if (slash == std::string::npos) return {};
    const std::string directory = self.substr(0, slash);
    // Beside the program in a build or an unpacked installation; in the
    // library directory where the packages put their helpers.
    for (const std::string& candidate :
         {directory + "/procward-output", directory + "/../lib/procward/procward-output"})
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    return {};
}

const std::string& executableSuffix() {
    static const std::string suffix;
    return suffix;
}

const std::string& scriptSuffix() {
    static const std::string suffix = ".sh";
    return suffix;
}

bool hostName(std::string& name) {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) return false;
    name = buffer;
    return true;
}

std::string errorText(int error) {
    char buffer[256];
    return std::string(::strerror_r(error, buffer, sizeof buffer));
}

bool localTime(std::int64_t seconds, std::tm& out) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    return ::localtime_r(&t, &out) != nullptr;
}

bool directoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

long long fileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size);
}

bool createDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

bool setWorkingDirectory(const std::string& path) { return ::chdir(path.c_str()) == 0; }

bool writableDirectory(const std::string& path, std::string& reason) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        reason = errno == ENOENT ? "does not exist" : std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        reason = "is not a directory";
        return false;
    }
    // A file is made and removed again: permission bits alone do not tell
    // of a read-only mount, an immutable directory or root's own rights.
    const std::string probe = path + "/.procward-write-check-" + std::to_string(::getpid());
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason = std::string("is not writable: ") + std::strerror(errno);
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

bool runsAsInit() { return ::getpid() == 1; }

void limitMemoryForService() {
    // glibc makes an arena per thread that allocates (up to 8 per core).
    ::mallopt(M_ARENA_MAX, 1);
}

void useParentConsole() {}

void useUtf8Console() {}

std::vector<std::string> programArguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

}  // namespace platform
