#include "platform/linux/LinuxProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

constexpr unsigned long kKernelThreadFlag = 0x00200000;  // PF_KTHREAD

// Reads a whole /proc file (they report a size of 0, so read until the end).
bool readProcFile(const char* path, std::string& out) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

bool readLink(const char* path, std::string& out) {
    char buffer[4096];
    const ssize_t n = ::readlink(path, buffer, sizeof buffer);
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) >= sizeof buffer) {
        errno = ENAMETOOLONG;
        return false;
    }
    out.assign(buffer, static_cast<std::size_t>(n));
    static const char deleted[] = " (deleted)";
    const std::size_t len = sizeof deleted - 1;
    if (out.size() > len && out.compare(out.size() - len, len, deleted) == 0) out.erase(out.size() - len);
    return true;
}

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The fields of /proc/PID/stat after the command name; field 3 (state) is
// at index 0.
struct StatFields {
    std::string comm;
    char state = 0;
    std::vector<std::string_view> rest;
};

bool parseStat(const std::string& text, StatFields& fields) {
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    fields.comm = text.substr(open + 1, close - open - 1);
    fields.rest.clear();
    std::size_t i = close + 1;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') ++i;
        const std::size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\n') ++i;
        if (i > start) fields.rest.emplace_back(text.data() + start, i - start);
        if (i < text.size() && text[i] == '\n') break;
    }
    if (fields.rest.empty() || fields.rest[0].size() != 1) return false;
    fields.state = fields.rest[0][0];
    return true;
}

// Field n (1-based, as in proc(5)) of the stat line.
bool statField(const StatFields& fields, std::size_t n, unsigned long long& value) {
    if (n < 3 || n - 3 >= fields.rest.size()) return false;
    const std::string s(fields.rest[n - 3]);
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(s.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0';
}

bool bootTime(std::int64_t& seconds) {
    static std::int64_t cached = -1;
    if (cached < 0) {
        std::string text;
        if (!readProcFile("/proc/stat", text)) return false;
        const auto at = text.find("\nbtime ");
        if (at == std::string::npos) return false;
        cached = std::strtoll(text.c_str() + at + 7, nullptr, 10);
    }
    seconds = cached;
    return true;
}

void procPath(char* buffer, std::size_t size, int pid, const char* leaf) {
    std::snprintf(buffer, size, "/proc/%d/%s", pid, leaf);
}

}  // namespace

bool LinuxProcessTable::snapshot(ProcessSnapshot& out) {
    out.clear();
    DIR* dir = ::opendir("/proc");
    if (!dir) return false;
    std::vector<int> pids;
    while (dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (*name < '1' || *name > '9') continue;
        char* end = nullptr;
        const long pid = std::strtol(name, &end, 10);
        if (*end == '\0' && pid > 0) pids.push_back(static_cast<int>(pid));
    }
    ::closedir(dir);
    std::sort(pids.begin(), pids.end());

    std::string text;
    StatFields fields;
    char path[64];
    out.reserve(pids.size());
    for (const int pid : pids) {
        // Kernel threads and zombies have no executable: the link fails with
        // ENOENT, which spares reading their stat (most entries of /proc are
        // kernel threads). Another user's process (EACCES) is still listed.
        std::string exe;
        procPath(path, sizeof path, pid, "exe");
        const bool exeRead = readLink(path, exe);
        if (!exeRead && errno == ENOENT) continue;
        procPath(path, sizeof path, pid, "stat");
        // A process that ended while the table was read is simply not listed.
        if (!readProcFile(path, text) || !parseStat(text, fields)) continue;
        if (fields.state == 'Z' || fields.state == 'X' || fields.state == 'x') continue;
        unsigned long long parent = 0, flags = 0;
        if (!statField(fields, 4, parent) || !statField(fields, 9, flags)) continue;
        if (flags & kKernelThreadFlag) continue;
        ProcessEntry entry;
        entry.pid = pid;
        entry.parentPid = static_cast<int>(parent);
        entry.shortName = fields.comm;
        if (exeRead) entry.exeFile = baseName(exe);
        out.push_back(std::move(entry));
    }
    return true;
}

bool LinuxProcessTable::modulePath(int pid, std::string& path) {
    char link[64];
    procPath(link, sizeof link, pid, "exe");
    return readLink(link, path);
}

bool LinuxProcessTable::arguments(int pid, std::vector<std::string>& args) {
    char path[64];
    procPath(path, sizeof path, pid, "cmdline");
    std::string text;
    if (!readProcFile(path, text)) return false;
    args.clear();
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        args.emplace_back(text, start, end - start);
        start = end + 1;
    }
    return !args.empty();
}

bool LinuxProcessTable::imagePath(int pid, std::string& path) {
    std::vector<std::string> args;
    if (!arguments(pid, args) || args[0].empty() || args[0][0] != '/') return false;
    path = args[0];
    return true;
}

bool LinuxProcessTable::commandLine(int pid, std::string& text) {
    std::vector<std::string> args;
    if (!arguments(pid, args)) return false;
    text.clear();
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i) text += ' ';
        text += args[i];
    }
    return true;
}

bool LinuxProcessTable::startTime(int pid, std::int64_t& seconds) {
    char path[64];
    procPath(path, sizeof path, pid, "stat");
    std::string text;
    StatFields fields;
    unsigned long long ticks = 0;
    if (!readProcFile(path, text) || !parseStat(text, fields) || !statField(fields, 22, ticks)) return false;
    std::int64_t boot = 0;
    const long hz = ::sysconf(_SC_CLK_TCK);
    if (hz <= 0 || !bootTime(boot)) return false;
    seconds = boot + static_cast<std::int64_t>(ticks / static_cast<unsigned long long>(hz));
    return true;
}

ProcessTable& defaultProcessTable() {
    static LinuxProcessTable table;
    return table;
}

}  // namespace platform
