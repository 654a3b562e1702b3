#include "platform/linux/LinuxProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

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
            const int error = errno;
            ::close(fd);
            errno = error;
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
    // An image replaced or removed since the start keeps its old path.
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
    char state = 0;
    std::vector<std::string_view> rest;
};

bool parseStat(const std::string& text, StatFields& fields) {
    // The command name may hold blanks and parentheses: the fields follow
    // the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos) return false;
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

bool readStat(int pid, StatFields& fields, std::string& text) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    return readProcFile(path, text) && parseStat(text, fields);
}

// The thread directory of a process whose main thread has ended while
// other threads run on: the main thread then stays as a zombie that has no
// executable or arguments, a live thread has both. Called once reading
// /proc/PID/exe has failed with ENOENT (as it does for kernel threads and
// zombies, which are told apart here by their stat).
bool liveThreadDirectory(int pid, std::string& directory) {
    std::string text;
    StatFields fields;
    unsigned long long flags = 0, threads = 0;
    if (!readStat(pid, fields, text) || !statField(fields, 9, flags) || (flags & kKernelThreadFlag) ||
        !statField(fields, 20, threads) || threads < 2)
        return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task", pid);
    DIR* dir = ::opendir(path);
    if (!dir) return false;
    bool found = false;
    std::string ignored;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        const std::string candidate = std::string(path) + "/" + entry->d_name;
        if (readLink((candidate + "/exe").c_str(), ignored)) {
            directory = candidate;
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// Reads a file of the process, or of a live thread when the main thread
// has ended and its own file is empty or missing.
bool readProcessFile(int pid, const char* leaf, std::string& out) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/%s", pid, leaf);
    if (readProcFile(path, out) && !out.empty()) return true;
    std::string directory;
    if (!liveThreadDirectory(pid, directory)) return false;
    return readProcFile((directory + "/" + leaf).c_str(), out);
}

// Wall-clock time of the boot, in nanoseconds since 1970: the start times in
// /proc count from it.
long long bootEpochNanoseconds() {
    timespec realBefore{}, boot{}, realAfter{};
    ::clock_gettime(CLOCK_REALTIME, &realBefore);
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    ::clock_gettime(CLOCK_REALTIME, &realAfter);
    auto ns = [](const timespec& t) { return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec; };
    return (ns(realBefore) + ns(realAfter)) / 2 - ns(boot);
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

    // One link read per process: its executable is all a look-up needs to
    // pick its candidates. Kernel threads and zombies have none (ENOENT),
    // nor do other users' processes (EACCES); those are left out, except a
    // process whose main thread has ended while other threads run on.
    char path[64];
    out.reserve(pids.size());
    for (const int pid : pids) {
        ProcessEntry entry;
        std::snprintf(path, sizeof path, "/proc/%d/exe", pid);
        if (!readLink(path, entry.exePath)) {
            std::string directory;
            if (errno != ENOENT || !liveThreadDirectory(pid, directory) ||
                !readLink((directory + "/exe").c_str(), entry.exePath))
                continue;
        }
        entry.pid = pid;
        entry.exeFile = baseName(entry.exePath);
        out.push_back(std::move(entry));
    }
    return true;
}

bool LinuxProcessTable::executable(int pid, std::string& path) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/exe", pid);
    if (readLink(link, path)) return true;
    std::string directory;
    if (errno != ENOENT || !liveThreadDirectory(pid, directory)) return false;
    return readLink((directory + "/exe").c_str(), path);
}

bool LinuxProcessTable::executablePaths(int pid, std::vector<std::string>& paths) {
    paths.clear();
    std::string path;
    if (!executable(pid, path)) return false;
    paths.push_back(std::move(path));
    return true;
}

bool LinuxProcessTable::arguments(int pid, std::vector<std::string>& args) {
    std::string text;
    if (!readProcessFile(pid, "cmdline", text)) return false;
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

bool LinuxProcessTable::argumentWords(int pid, std::vector<std::string>& words) {
    std::vector<std::string> args;
    if (!arguments(pid, args)) return false;
    words.assign(args.begin() + 1, args.end());
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

bool LinuxProcessTable::childrenOf(int pid, std::vector<int>& children) {
    children.clear();
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task", pid);
    DIR* dir = ::opendir(path);
    if (!dir) return errno == ENOENT;  // gone: no children
    bool listed = true;
    std::string text;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        // A child is listed under the thread that made it.
        const std::string file = std::string(path) + "/" + entry->d_name + "/children";
        if (!readProcFile(file.c_str(), text)) {
            // A kernel without the file: the caller walks the table.
            if (errno == ENOENT && ::access((std::string(path) + "/" + entry->d_name).c_str(), F_OK) == 0)
                listed = false;
            continue;
        }
        std::istringstream words(text);
        for (int child = 0; words >> child;) children.push_back(child);
    }
    ::closedir(dir);
    return listed;
}

bool LinuxProcessTable::parentOf(int pid, int& parent) {
    std::string text;
    StatFields fields;
    unsigned long long value = 0;
    if (!readStat(pid, fields, text) || !statField(fields, 4, value)) return false;
    parent = static_cast<int>(value);
    return true;
}

bool LinuxProcessTable::startTicks(int pid, unsigned long long& ticks) {
    std::string text;
    StatFields fields;
    return readStat(pid, fields, text) && statField(fields, 22, ticks);
}

bool LinuxProcessTable::liveStartTicks(int pid, unsigned long long& ticks) {
    std::string text;
    StatFields fields;
    return readStat(pid, fields, text) && fields.state != 'Z' && fields.state != 'X' && fields.state != 'x' &&
           statField(fields, 22, ticks);
}

std::int64_t LinuxProcessTable::secondsFromTicks(unsigned long long ticks) {
    const long hz = ::sysconf(_SC_CLK_TCK);
    const long long tick = 1000000000LL / (hz > 0 ? hz : 100);
    // The kernel counts the start in whole ticks, rounded down: the real
    // start lies within the tick that follows. Its end is never earlier
    // than the real start, so the second shown is never one too early.
    const long long ns = bootEpochNanoseconds() + static_cast<long long>(ticks + 1) * tick - 1;
    return ns / 1000000000LL;
}

bool LinuxProcessTable::startTime(int pid, std::int64_t& seconds) {
    unsigned long long ticks = 0;
    if (!startTicks(pid, ticks)) return false;
    seconds = secondsFromTicks(ticks);
    return true;
}

int LinuxProcessTable::groupMembers(int groupId) {
    DIR* dir = ::opendir("/proc");
    if (!dir) return 0;
    int count = 0;
    std::string text;
    StatFields fields;
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || !end || *end != '\0') continue;
        unsigned long long group = 0;
        if (!readStat(static_cast<int>(pid), fields, text) || !statField(fields, 5, group)) continue;
        if (group != static_cast<unsigned long long>(groupId)) continue;
        if (fields.state == 'Z' || fields.state == 'X' || fields.state == 'x') continue;
        ++count;
    }
    ::closedir(dir);
    return count;
}

ProcessTable& defaultProcessTable() {
    static LinuxProcessTable table;
    return table;
}

}  // namespace platform
