#include "log/AppLogger.h"

#include <iostream>
#include <mutex>

#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/spdlog.h>

#include "log/BoundedLogSink.h"
#include "log/DateOnlyFileNameCalculator.h"
#include "log/LevelNameFlag.h"
#include "log/LogRetention.h"
#include "log/MessageTextFlag.h"
#include "platform/ErrorLog.h"
#include "platform/FileStore.h"
#include "platform/System.h"

namespace {
// The holder exists from program load on.
const AppLogger& g_loadTimeInstance = AppLogger::Instance();
}  // namespace

const char* const AppLogger::kPattern = "%Y-%m-%d %H:%M:%S.%e [%l]: %v";

AppLogger& AppLogger::Instance() {
    static AppLogger instance;
    return instance;
}

std::string AppLogger::applicationName() {
    std::string path = platform::executablePath();
    const auto slash = path.find_last_of(platform::pathSeparator());
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}

std::unique_ptr<spdlog::formatter> AppLogger::makeFormatter() {
    auto formatter = std::make_unique<spdlog::pattern_formatter>(kPattern, spdlog::pattern_time_type::local, "\r\n");
    // The custom flags take over 'l' and 'v' only once the pattern is
    // compiled again.
    formatter->add_flag<LevelNameFlag>('l').add_flag<MessageTextFlag>('v').set_pattern(kPattern);
    return formatter;
}

bool AppLogger::Init() { return Init("logs"); }

bool AppLogger::Init(const std::string& directory) {
    std::string reason;
    return Init(directory, reason);
}

bool AppLogger::Init(const std::string& directory, std::string& reason) {
    try {
        directory_ = directory;
        const std::string name = applicationName();
        const std::string base = directory + platform::pathSeparator() + name;
        // The sink's own retention (max_files) counts files instead of days,
        // stops looking back at the first day without a file, and removes
        // one file per rotation, so a backlog would never go. Its open hook
        // runs when the first file opens and at each rotation; the dates in
        // the file names say which files are too old.
        spdlog::file_event_handlers events;
        events.after_open = [this](const spdlog::filename_t&, std::FILE*) { removeOldFiles(keepDays_); };
        auto sink = std::make_shared<spdlog::sinks::daily_file_sink<std::mutex, DateOnlyFileNameCalculator>>(
            spdlog::filename_t(platform::filePath(base).native()), 23, 59, false, 0, events);
        // In front of the file: repeated errors folded, the size limit.
        bounded_ = std::make_shared<BoundedLogSink>(sink, directory, name);
        bounded_->setMaxBytes(maxBytes_);
        logger = std::make_shared<spdlog::logger>(name, bounded_);
        spdlog::drop(name);
        spdlog::register_logger(logger);
        spdlog::set_formatter(makeFormatter());
        spdlog::set_level(spdlog::level::debug);
        logger->flush_on(spdlog::level::debug);
        // What the platform layer has to report goes into the same file.
        platform::setErrorSink([](const std::string& text) { AppLogger::Instance().get().error("{}", text); });
        return true;
    } catch (const spdlog::spdlog_ex& e) {
        reason = e.what();
    } catch (const std::exception& e) {
        reason = e.what();
    } catch (...) {
        reason = "unknown error";
    }
    logger.reset();
    std::cout << "Log initialization failed: " << reason << std::endl;
    return false;
}

void AppLogger::removeOldFiles(int days) {
    if (days > 0) LogRetention::removeOlderThan(directory_, applicationName(), days, LogRetention::today());
}

int AppLogger::keepDays(int days) {
    keepDays_ = days;
    if (days <= 0) return 0;
    return LogRetention::removeOlderThan(directory_, applicationName(), days, LogRetention::today());
}

void AppLogger::limitSize(int megabytes) {
    maxBytes_ = megabytes > 0 ? static_cast<std::uint64_t>(megabytes) << 20 : 0;
    if (bounded_) bounded_->setMaxBytes(maxBytes_);
}

spdlog::logger& AppLogger::get() {
    if (logger) return *logger;
    static spdlog::logger silent("silent");
    return silent;
}

extern "C" AppLogger* GetLogger() { return &AppLogger::Instance(); }
