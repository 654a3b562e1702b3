#include "app/core/Runtime.h"

#include <algorithm>

#include "app/core/SupervisionSettings.h"
#include "config/AppDirectories.h"
#include "config/SettingsFile.h"
#include "log/AppLogger.h"
#include "platform/ProcessControl.h"
#include "supervision/SystemClock.h"

namespace {

Settings loadLogged(const std::string& path) {
    std::vector<std::string> warnings;
    Settings settings = LoadSettings(path, warnings);
    for (const std::string& warning : warnings) AppLogger::Instance().get().warn("{}", warning);
    return settings;
}

}  // namespace

Runtime::Runtime(std::function<void()> wake, std::FILE* complaints)
    : wake_(std::move(wake)),
      settingsPath_(AppDirectories::settingsPath()),
      settings_(loadLogged(settingsPath_)),
      mailSink_(delivery_, settings_.mail),
      mailAlerts_(mailSink_),
      list_(AppDirectories::serverListPath()),
      store_(list_, complaints),
      stateFile_(AppDirectories::statePath()),
      supervisor_(SystemClock::Instance(), platform::processControl(), SupervisionOptionsFrom(settings_.general)),
      host_(supervisor_, wake_, mailSink_.counters()) {
    supervisor_.addAlertSink(&mailAlerts_);
    supervisor_.setEntryStore(&store_);
    supervisor_.setStateStore(&stateFile_);
}

Runtime::~Runtime() {
    host_.stopping();
    supervisor_.setStateStore(nullptr);
    supervisor_.setEntryStore(nullptr);
    supervisor_.removeAlertSink(&mailAlerts_);
}

void Runtime::start() {
    // The exit watcher's thread only asks the host's thread to run the
    // supervisor; every check still runs there.
    supervisor_.watchExits(wake_);
    host_.start(settings_.general.metricsListen);
    supervisor_.reload();
}

void Runtime::runDue() {
    host_.runQueued();
    supervisor_.runDue();
    host_.watchdogIfDue(SystemClock::Instance().now());
}

Clock::TimePoint Runtime::nextDue() const {
    // The service manager's watchdog counts as due too: a loop that slept
    // past it would be taken for a hung one.
    return std::min(supervisor_.nextDue(), host_.nextWatchdog());
}

void Runtime::stop() {
    if (stopped_) return;
    stopped_ = true;
    host_.stopping();
    delivery_.shutdown();
    stateFile_.flush();
}

bool Runtime::changeSettings(const Settings& settings, std::string& error) {
    if (!SaveSettings(settingsPath_, settings, error)) {
        AppLogger::Instance().get().error("procward.ini could not be saved: {}", error);
        return false;
    }
    settings_ = settings;
    supervisor_.changeOptions(SupervisionOptionsFrom(settings_.general));
    mailSink_.setSettings(settings_.mail);
    return true;
}
