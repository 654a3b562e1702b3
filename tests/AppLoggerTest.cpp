#include <dlfcn.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <regex>

#include <gtest/gtest.h>
#include <spdlog/sinks/daily_file_sink.h>

#include "log/AppLogger.h"
#include "log/DateOnlyFileNameCalculator.h"
#include "tests/support/TempDir.h"
#include "tests/support/TodaysLog.h"

namespace {

const std::string kLinePrefix = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";

class AppLoggerTest : public ::testing::Test {
protected:
    TempDir dir;
    ScopedWorkingDirectory cwd{dir.path()};
};

TEST_F(AppLoggerTest, WritesEachLevelWithItsNameAndCrLf) {
    ASSERT_EQ(0, ::mkdir("logs", 0777));
    ASSERT_TRUE(AppLogger::Instance().Init());
    auto& log = AppLogger::Instance().get();
    log.trace("dropped");
    log.debug("d");
    log.info("Procward started!");
    log.warn("w {}", 1);
    log.error("e");
    log.critical("c");

    const std::string bytes = readFile(todaysLogFile());
    const std::regex expected(kLinePrefix + R"(\[DEBUG\]: d\r\n)" + kLinePrefix +
                              R"(\[INFO \]: Procward started!\r\n)" + kLinePrefix + R"(\[WARNING\]: w 1\r\n)" +
                              kLinePrefix + R"(\[ERROR\]: e\r\n)" + kLinePrefix + R"(\[CRITICAL\]: c\r\n)");
    EXPECT_TRUE(std::regex_match(bytes, expected)) << bytes;
}

TEST_F(AppLoggerTest, LineBreaksInsideAMessageAreWrittenAsEscapes) {
    ASSERT_EQ(0, ::mkdir("logs", 0777));
    ASSERT_TRUE(AppLogger::Instance().Init());
    auto& log = AppLogger::Instance().get();
    // A server name with CR LF cannot forge a line of its own.
    log.info("{}: service not working", "web\r\n2026-01-05 09:30:00.042 [INFO ]: forged");
    log.error("Sending alert email error: {}", "550 first\nsecond\rthird");
    log.info("a\\n stays");  // a backslash before n is left as it is

    const std::string bytes = readFile(todaysLogFile());
    const std::regex expected(kLinePrefix + R"(\[INFO \]: web\\r\\n2026-01-05 09:30:00\.042 \[INFO \]: forged: service not working\r\n)" +
                              kLinePrefix + R"(\[ERROR\]: Sending alert email error: 550 first\\nsecond\\rthird\r\n)" +
                              kLinePrefix + R"(\[INFO \]: a\\n stays\r\n)");
    EXPECT_TRUE(std::regex_match(bytes, expected)) << bytes;
}

TEST_F(AppLoggerTest, LineCarriesTheLocalTimeOfTheMessage) {
    ASSERT_EQ(0, ::mkdir("logs", 0777));
    ASSERT_TRUE(AppLogger::Instance().Init());
    const std::time_t before = std::time(nullptr);
    AppLogger::Instance().get().info("x");
    const std::time_t after = std::time(nullptr);
    const std::string bytes = readFile(todaysLogFile());
    std::tm local{};
    ASSERT_NE(nullptr, strptime(bytes.c_str(), "%Y-%m-%d %H:%M:%S", &local));
    local.tm_isdst = -1;
    const std::time_t logged = std::mktime(&local);
    EXPECT_GE(logged, before);
    EXPECT_LE(logged, after);
}

TEST_F(AppLoggerTest, AppendsToTheFileOfAnEarlierRunOfTheSameDay) {
    ASSERT_EQ(0, ::mkdir("logs", 0777));
    writeFile(todaysLogFile(), "earlier line\r\n");
    ASSERT_TRUE(AppLogger::Instance().Init());
    AppLogger::Instance().get().info("later");
    const std::string bytes = readFile(todaysLogFile());
    EXPECT_EQ(0u, bytes.find("earlier line\r\n"));
    EXPECT_NE(std::string::npos, bytes.find("[INFO ]: later\r\n"));
}

TEST_F(AppLoggerTest, FailedInitReportsOnStandardOutputAndLoggingStaysHarmless) {
    writeFile("logs", "a file where the directory should be");
    AppLogger::Instance().logger.reset();
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(AppLogger::Instance().Init());
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, out.find("Log initialization failed: ")) << out;
    EXPECT_FALSE(AppLogger::Instance().logger);
    // The reason goes to the caller too, which tells the operator.
    std::string reason;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(AppLogger::Instance().Init("logs", reason));
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, reason.find("logs")) << reason;
    EXPECT_EQ("Log initialization failed: " + reason + "\n", out);
    EXPECT_FALSE(AppLogger::Instance().logger);
    AppLogger::Instance().get().info("goes nowhere");
    AppLogger::Instance().get().error("goes nowhere {}", 2);
}

TEST_F(AppLoggerTest, ModuleLogsThroughTheExportedAccessorIntoTheSameFile) {
    ASSERT_EQ(0, ::mkdir("logs", 0777));
    ASSERT_TRUE(AppLogger::Instance().Init());
    EXPECT_EQ(&AppLogger::Instance(), GetLogger());
    void* module = ::dlopen(PROCWARD_LOGPLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, module) << ::dlerror();
    auto pluginLog = reinterpret_cast<int (*)(const char*)>(::dlsym(module, "PluginLog"));
    ASSERT_NE(nullptr, pluginLog);
    AppLogger::Instance().get().info("host");
    EXPECT_EQ(1, pluginLog("hello"));
    ::dlclose(module);
    const std::string bytes = readFile(todaysLogFile());
    EXPECT_TRUE(std::regex_match(
        bytes, std::regex(kLinePrefix + R"(\[INFO \]: host\r\n)" + kLinePrefix + R"(\[WARNING\]: plugin: hello\r\n)")))
        << bytes;
}

TEST(DateOnlyFileNameCalculatorTest, AppendsTheZeroPaddedDate) {
    std::tm day{};
    day.tm_year = 2026 - 1900;
    day.tm_mon = 0;
    day.tm_mday = 5;
    EXPECT_EQ("logs/procward_20260105.log", DateOnlyFileNameCalculator::calc_filename("logs/procward", day));
}

TEST(ApplicationNameTest, IsTheExecutableFileName) { EXPECT_EQ("procward_tests", AppLogger::applicationName()); }

// The sink reopens by the date of the first message at or after 23:59.
class DailyRotationTest : public ::testing::Test {
protected:
    using Sink = spdlog::sinks::daily_file_sink<std::mutex, DateOnlyFileNameCalculator>;
    TempDir dir;

    static std::chrono::system_clock::time_point localTime(int dayOffset, int hour, int minute, int second) {
        std::time_t now = std::time(nullptr);
        std::tm t{};
        localtime_r(&now, &t);
        t.tm_mday += dayOffset;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        t.tm_isdst = -1;
        return std::chrono::system_clock::from_time_t(std::mktime(&t));
    }
    static std::string dateOf(std::chrono::system_clock::time_point tp) {
        const std::time_t t = std::chrono::system_clock::to_time_t(tp);
        std::tm local{};
        localtime_r(&t, &local);
        char date[16];
        std::strftime(date, sizeof date, "%Y%m%d", &local);
        return date;
    }
    void write(Sink& sink, std::chrono::system_clock::time_point when, const char* text) {
        spdlog::details::log_msg msg(when, spdlog::source_loc{}, "t", spdlog::level::info, text);
        sink.log(msg);
        sink.flush();
    }
};

TEST_F(DailyRotationTest, MessagesBeforeTheRotationPointStayInTheCurrentFile) {
    if (std::chrono::system_clock::now() >= localTime(0, 23, 58, 0)) GTEST_SKIP() << "too close to 23:59";
    const std::string base = dir.file("app");
    Sink sink(base, 23, 59);
    sink.set_formatter(AppLogger::makeFormatter());
    const auto today = dateOf(std::chrono::system_clock::now());
    write(sink, localTime(0, 23, 58, 59), "stays");
    write(sink, localTime(0, 23, 59, 0), "reopens today's file");
    EXPECT_NE(std::string::npos, readFile(base + "_" + today + ".log").find("stays"));
    EXPECT_NE(std::string::npos, readFile(base + "_" + today + ".log").find("reopens today's file"));
}

TEST_F(DailyRotationTest, FirstMessageOfTheNextDayOpensTheNextDaysFile) {
    if (std::chrono::system_clock::now() >= localTime(0, 23, 58, 0)) GTEST_SKIP() << "too close to 23:59";
    const std::string base = dir.file("app");
    Sink sink(base, 23, 59);
    sink.set_formatter(AppLogger::makeFormatter());
    const auto tomorrow = localTime(1, 0, 30, 0);
    write(sink, tomorrow, "next day");
    const std::string today = readFile(base + "_" + dateOf(std::chrono::system_clock::now()) + ".log");
    EXPECT_EQ(std::string::npos, today.find("next day"));
    EXPECT_NE(std::string::npos, readFile(base + "_" + dateOf(tomorrow) + ".log").find("[INFO ]: next day\r\n"));
}

}  // namespace
