#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/ProcessOwner.h"
#include "platform/linux/LinuxProcessTable.h"

namespace platform {
namespace {

bool allDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::string accountText(unsigned long real, unsigned long effective) {
    std::string text = std::to_string(real);
    if (effective != real) text += "/" + std::to_string(effective);
    return text;
}

}  // namespace

std::string processAccount(int pid) {
    if (pid <= 0) return {};
    // The "Uid:" line of the status file: real, effective, saved and file
    // system user IDs. The file is the kernel's and small; a fixed buffer
    // holds the lines up to it.
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (!file) return {};
    char line[256];
    std::string account;
    while (std::fgets(line, sizeof line, file)) {
        unsigned long real = 0, effective = 0;
        if (std::strncmp(line, "Uid:", 4) == 0) {
            if (std::sscanf(line + 4, "%lu %lu", &real, &effective) == 2) account = accountText(real, effective);
            break;
        }
    }
    std::fclose(file);
    return account;
}

std::string accountOf(const std::string& user) {
    if (user.empty()) return accountText(::getuid(), ::geteuid());
    std::vector<char> buffer(16384);
    for (;;) {
        passwd entry{};
        passwd* result = nullptr;
        const int error = allDigits(user) ? ::getpwuid_r(static_cast<uid_t>(std::strtoul(user.c_str(), nullptr, 10)),
                                                         &entry, buffer.data(), buffer.size(), &result)
                                          : ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        if (result) return std::to_string(entry.pw_uid);
        // A numeric ID without an entry in the databases is still an ID a
        // server can run as.
        if (allDigits(user)) return std::to_string(std::strtoul(user.c_str(), nullptr, 10));
        return {};
    }
}

int parentProcessId(int pid) {
    int parent = 0;
    if (pid <= 0 || !LinuxProcessTable::parentOf(pid, parent)) return 0;
    return parent;
}

int currentProcessId() { return static_cast<int>(::getpid()); }

}  // namespace platform
