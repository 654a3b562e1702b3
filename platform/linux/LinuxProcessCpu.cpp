#include "platform/ProcessCpu.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace platform {

std::optional<double> cpuSeconds(int pid) {
    if (pid <= 0) return std::nullopt;
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* file = std::fopen(path.c_str(), "re");
    if (!file) return std::nullopt;
    char text[1024];
    const std::size_t n = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[n] = '\0';
    // The command name may hold blanks and parentheses: the fields are
    // counted from the last ')'. utime and stime are fields 14 and 15, the
    // 12th and 13th after it.
    const char* close = std::strrchr(text, ')');
    if (!close) return std::nullopt;
    const char* field = close + 1;
    for (int skipped = 0; skipped < 11; ++skipped) {
        field = std::strchr(field + 1, ' ');
        if (!field) return std::nullopt;
    }
    unsigned long long user = 0, system = 0;
    if (std::sscanf(field, " %llu %llu", &user, &system) != 2) return std::nullopt;
    static const long ticks = ::sysconf(_SC_CLK_TCK);
    return static_cast<double>(user + system) / static_cast<double>(ticks > 0 ? ticks : 100);
}

}  // namespace platform
