#include "log/DateOnlyFileNameCalculator.h"

#include <fmt/format.h>

spdlog::filename_t DateOnlyFileNameCalculator::calc_filename(const spdlog::filename_t& filename,
                                                             const std::tm& now_tm) {
    // The suffix is ASCII, so it widens character by character where file
    // names are wide (Windows).
    const std::string suffix =
        fmt::format("_{:04d}{:02d}{:02d}.log", now_tm.tm_year + 1900, now_tm.tm_mon + 1, now_tm.tm_mday);
    return filename + spdlog::filename_t(suffix.begin(), suffix.end());
}
