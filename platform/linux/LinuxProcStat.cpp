#include "platform/linux/LinuxProcStat.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

bool readProcStatFields(const std::string& who, int first, int count, unsigned long long* values) {
    if (first < 4 || count < 1) return false;
    const std::string path = "/proc/" + who + "/stat";
    FILE* file = std::fopen(path.c_str(), "re");
    if (!file) return false;
    char text[1024];
    const std::size_t n = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[n] = '\0';
    const char* field = std::strrchr(text, ')');
    if (!field) return false;
    // After the name: " S 1 2 ...", field 3 (the state) first.
    for (int at = 2; at < first; ++at) {
        field = std::strchr(field + 1, ' ');
        if (!field) return false;
    }
    for (int i = 0; i < count; ++i) {
        char* end = nullptr;
        errno = 0;
        values[i] = std::strtoull(field, &end, 10);
        if (errno != 0 || end == field) return false;
        field = end;
    }
    return true;
}

}  // namespace platform
