#include "log/DateOnlyFileNameCalculator.h"

#include <fmt/format.h>

spdlog::filename_t DateOnlyFileNameCalculator::calc_filename(const spdlog::filename_t& filename,
                                                             const std::tm& now_tm) {
    return fmt::format("{}_{:04d}{:02d}{:02d}.log", filename, now_tm.tm_year + 1900, now_tm.tm_mon + 1,
                       now_tm.tm_mday);
}
