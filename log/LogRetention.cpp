#include "log/LogRetention.h"
#include "platform/FileStore.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <system_error>

namespace {

// The date of "<application>_YYYYMMDD.log", as days since 1970.
bool dayOfName(const std::string& name, const std::string& application, std::chrono::sys_days& day) {
    const std::string prefix = application + "_";
    const std::string suffix = ".log";
    if (name.size() != prefix.size() + 8 + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    int value[3] = {0, 0, 0};
    const std::size_t widths[3] = {4, 2, 2};
    std::size_t at = prefix.size();
    for (int part = 0; part < 3; ++part) {
        for (std::size_t i = 0; i < widths[part]; ++i, ++at) {
            const char c = name[at];
            if (c < '0' || c > '9') return false;
            value[part] = value[part] * 10 + (c - '0');
        }
    }
    const std::chrono::year_month_day date{std::chrono::year{value[0]}, std::chrono::month{static_cast<unsigned>(value[1])},
                                           std::chrono::day{static_cast<unsigned>(value[2])}};
    if (!date.ok()) return false;
    day = std::chrono::sys_days{date};
    return true;
}

}  // namespace

std::tm LogRetention::today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

int LogRetention::removeOlderThan(const std::string& directory, const std::string& application, int keepDays,
                                  const std::tm& today) {
    if (keepDays <= 0) return 0;
    const std::chrono::sys_days current{std::chrono::year{today.tm_year + 1900} /
                                        std::chrono::month{static_cast<unsigned>(today.tm_mon + 1)} /
                                        std::chrono::day{static_cast<unsigned>(today.tm_mday)}};
    const std::chrono::sys_days oldestKept = current - std::chrono::days{keepDays};
    int removed = 0;
    std::error_code error;
    std::filesystem::directory_iterator entries(platform::filePath(directory), error);
    if (error) return 0;
    for (const auto& entry : entries) {
        std::chrono::sys_days day{};
        if (!dayOfName(platform::pathText(entry.path().filename()), application, day) || day >= oldestKept) continue;
        if (!entry.is_regular_file(error)) continue;
        if (std::filesystem::remove(entry.path(), error)) ++removed;
    }
    return removed;
}

int LogRetention::trimToSize(const std::string& directory, const std::string& application, std::uint64_t maxBytes,
                             const std::tm& today, std::uint64_t& todayBytes) {
    todayBytes = 0;
    const std::chrono::sys_days current{std::chrono::year{today.tm_year + 1900} /
                                        std::chrono::month{static_cast<unsigned>(today.tm_mon + 1)} /
                                        std::chrono::day{static_cast<unsigned>(today.tm_mday)}};
    std::error_code error;
    std::filesystem::directory_iterator entries(platform::filePath(directory), error);
    if (error) return 0;
    // The earlier days' files by date, oldest first.
    std::multimap<std::chrono::sys_days, std::pair<std::filesystem::path, std::uint64_t>> earlier;
    std::uint64_t total = 0;
    for (const auto& entry : entries) {
        std::chrono::sys_days day{};
        if (!dayOfName(platform::pathText(entry.path().filename()), application, day)) continue;
        if (!entry.is_regular_file(error)) continue;
        const std::uintmax_t size = entry.file_size(error);
        if (error) continue;
        total += size;
        if (day == current)
            todayBytes += size;
        else
            earlier.emplace(day, std::make_pair(entry.path(), static_cast<std::uint64_t>(size)));
    }
    int removed = 0;
    for (auto it = earlier.begin(); it != earlier.end() && total > maxBytes; ++it)
        if (std::filesystem::remove(it->second.first, error)) {
            total -= it->second.second;
            ++removed;
        }
    return removed;
}
