// The supervisor's own log in bounds: errors repeated within a minute
// folded into one count, and the daily files kept within LOG_MAX_MB, the
// oldest days first, today's file stopping at the limit.
#include <chrono>
#include <ctime>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/ostream_sink.h>

#include "log/BoundedLogSink.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;

void put(BoundedLogSink& sink, spdlog::log_clock::time_point at, spdlog::level::level_enum level,
         const std::string& text) {
    sink.log(spdlog::details::log_msg(at, spdlog::source_loc{}, "procwardd", level,
                                      spdlog::string_view_t(text.data(), text.size())));
}

TEST(BoundedLogSinkTest, AnErrorRepeatedWithinAMinuteIsWrittenTenTimesAndThenCounted) {
    TempDir dir;
    std::ostringstream out;
    BoundedLogSink sink(std::make_shared<spdlog::sinks::ostream_sink_st>(out), dir.path(), "procwardd");
    sink.set_pattern("%l %v");
    const auto t0 = spdlog::log_clock::now();
    const std::string failed = "webhook chat: post failed: connection refused";
    put(sink, t0, spdlog::level::err, failed);
    for (int i = 1; i <= 2914; ++i) put(sink, t0 + std::chrono::milliseconds(i * 10), spdlog::level::err, failed);
    put(sink, t0 + 31s, spdlog::level::info, "gs1 started successfully: pid=4242");
    put(sink, t0 + 32s, spdlog::level::err, "mail: connection refused");
    // A warning is never folded; a critical line of the same text counts
    // with the error.
    put(sink, t0 + 33s, spdlog::level::warn, failed);
    put(sink, t0 + 34s, spdlog::level::warn, failed);
    put(sink, t0 + 35s, spdlog::level::critical, failed);
    // The minute is over: the count comes before the next line.
    put(sink, t0 + 61s, spdlog::level::info, "tick");
    put(sink, t0 + 62s, spdlog::level::err, failed);
    // The second error was alone in its minute: no count for it.
    put(sink, t0 + 100s, spdlog::level::info, "tock");
    std::string firstTen;
    for (int i = 0; i < 10; ++i) firstTen += "error " + failed + "\n";
    EXPECT_EQ(firstTen +
                  "info gs1 started successfully: pid=4242\n"
                  "error mail: connection refused\n"
                  "warning " +
                  failed + "\n" + "warning " + failed + "\n" + "error " + failed +
                  " ... repeated 2,906 times in the last minute\n" +
                  "info tick\n"
                  "error " +
                  failed + "\n" + "info tock\n",
              out.str());
}

std::string todaysName() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::strftime(name, sizeof name, "procwardd_%Y%m%d.log", &local);
    return name;
}

TEST(BoundedLogSinkTest, TheDailyFilesStayWithinTheLimitOldestDaysFirstAndTodaysFileStopsAtIt) {
    TempDir dir;
    writeFile(dir.file("procwardd_20200101.log"), std::string(600 * 1024, 'a'));
    writeFile(dir.file("procwardd_20200102.log"), std::string(600 * 1024, 'b'));
    writeFile(dir.file("procwardd_20200103.log"), std::string(300 * 1024, 'c'));
    writeFile(dir.file("procward_20200101.log"), std::string(600 * 1024, 'd'));  // another program's
    const std::string today = dir.file(todaysName());
    BoundedLogSink sink(std::make_shared<spdlog::sinks::basic_file_sink_st>(today), dir.path(), "procwardd");
    sink.set_pattern("%v");
    sink.setMaxBytes(1 << 20);
    const auto now = spdlog::log_clock::now();
    // The first line measures: the oldest day goes, the next two fit.
    put(sink, now, spdlog::level::info, "Procward started!");
    sink.flush();
    EXPECT_FALSE(std::filesystem::exists(dir.file("procwardd_20200101.log")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("procwardd_20200102.log")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("procwardd_20200103.log")));
    const std::string line(1000, 'x');
    for (int i = 0; i < 1500; ++i) put(sink, now, spdlog::level::info, std::to_string(i) + " " + line);
    sink.flush();
    // Today's lines pushed the earlier days out, then stopped at the limit.
    EXPECT_FALSE(std::filesystem::exists(dir.file("procwardd_20200102.log")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("procwardd_20200103.log")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("procward_20200101.log")));
    const auto size = std::filesystem::file_size(today);
    EXPECT_GE(size, 1u << 20);
    EXPECT_LE(size, (1u << 20) + BoundedLogSink::kMeasureEvery + 2 * line.size());
    const std::string text = readFile(today);
    const std::string marker = "The log has reached LOG_MAX_MB=1: lines are dropped until the next day\n";
    const auto at = text.find(marker);
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(at + marker.size(), text.size()) << "nothing after the marker";
    EXPECT_EQ(std::string::npos, text.find("1499 " + line));
    // No limit any more: lines are written again.
    sink.setMaxBytes(0);
    put(sink, now, spdlog::level::info, "after");
    sink.flush();
    EXPECT_NE(std::string::npos, readFile(today).find("\nafter\n"));
}

}  // namespace
