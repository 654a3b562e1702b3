#pragma once
#include <ctime>

#include <spdlog/common.h>

// Names the daily log file: base + "_" + YYYYMMDD + ".log".
struct DateOnlyFileNameCalculator {
    static spdlog::filename_t calc_filename(const spdlog::filename_t& filename, const std::tm& now_tm);
};
