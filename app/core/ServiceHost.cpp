#include "app/core/ServiceHost.h"

#include "app/core/StatusReport.h"
#include "log/AppLogger.h"
#include "platform/CommandSocket.h"
#include "platform/ServiceManager.h"
#include "supervision/Supervisor.h"
#include "supervision/SystemClock.h"

ServiceHost::ServiceHost(Supervisor& supervisor, std::function<void()> wake,
                         std::shared_ptr<const AlertCounters> alerts)
    : supervisor_(supervisor), control_(board_, std::move(wake)), metrics_(board_, std::move(alerts)) {
    supervisor_.addObserver(this);
    publish();
}

ServiceHost::~ServiceHost() {
    stopping();
    supervisor_.removeObserver(this);
}

void ServiceHost::start(const std::string& metricsListen) {
    auto& log = AppLogger::Instance().get();
    std::string error;
    socketPath_ = platform::commandSocketPath();
    if (control_.start(socketPath_, error))
        log.info("Control socket: {}", socketPath_);
    else
        log.error("No control socket ({}); ctl cannot reach this Procward", error);

    startMetrics(metricsListen);

    watchdogInterval_ = platform::serviceManager().watchdogInterval();
    if (watchdogInterval_.count() > 0) nextWatchdog_ = SystemClock::Instance().now() + watchdogInterval_;
}

void ServiceHost::startMetrics(const std::string& listen) {
    metricsListen_ = listen;
    if (listen.empty()) return;
    auto& log = AppLogger::Instance().get();
    std::string error, host;
    int port = 0;
    if (metrics_.start(listen, error)) {
        log.info("Metrics: http://{}/metrics", listen);
        if (MetricsServer::parseListen(listen, host, port, error) && !MetricsServer::isLoopback(host))
            log.warn("The metrics listen on {}, which other machines may reach", listen);
    } else {
        log.error("No metrics: [METRICS] LISTEN={}: {}", listen, error);
    }
}

void ServiceHost::changeMetrics(const std::string& metricsListen) {
    if (stopped_ || metricsListen == metricsListen_) return;
    metrics_.stop();
    if (metricsListen.empty()) AppLogger::Instance().get().info("Metrics off ([METRICS] LISTEN is empty)");
    startMetrics(metricsListen);
}

void ServiceHost::setConfigProblem(const std::string& problem) {
    if (problem == configProblem_) return;
    configProblem_ = problem;
    statusCounts_.reset();
    publish();
}

bool ServiceHost::everyStartTried() const {
    for (const auto& [index, server] : supervisor_.servers())
        if (server->autoStart() && server->state() == ServerState::Stopped) return false;
    return true;
}

void ServiceHost::publish() {
    board_.publish(supervisor_, passDurations_);
    // Start-up is over once the list is loaded and every server has been
    // started once; a pass after the load ends it whatever a server does.
    if (!ready_ && loaded_ && (passedOnce_ || everyStartTried())) {
        ready_ = true;
        platform::serviceManager().ready();
    }
    if (!ready_) return;
    // The line only changes with the counts (or the problem, which resets them).
    const std::shared_ptr<const StatusSnapshot> snapshot = board_.current();
    const std::pair<std::int32_t, std::size_t> counts{snapshot->running, snapshot->servers.size()};
    if (statusCounts_ == counts) return;
    statusCounts_ = counts;
    std::string status = StatusReport::runningLine(*snapshot);
    if (!configProblem_.empty()) status += "; " + configProblem_;
    if (status != lastStatus_) {
        lastStatus_ = status;
        platform::serviceManager().status(status);
    }
}

void ServiceHost::serverChanged(const MonitoredServer&) { publish(); }

void ServiceHost::passEnded() {
    passDurations_.observe(supervisor_.lastPassDuration());
    passedOnce_ = loaded_;
    publish();
}

void ServiceHost::listLoaded() {
    // The first load has checked every server once and started those that
    // were down, or put the last starts off to the next calls.
    loaded_ = true;
    publish();
}

void ServiceHost::runQueued() {
    // What a command changes reaches the board through serverChanged.
    control_.runQueued(supervisor_);
}

void ServiceHost::watchdogIfDue(Clock::TimePoint now) {
    if (watchdogInterval_.count() <= 0 || now < nextWatchdog_) return;
    platform::serviceManager().watchdog();
    nextWatchdog_ = now + watchdogInterval_;
}

void ServiceHost::stopping() {
    if (stopped_) return;
    stopped_ = true;
    platform::serviceManager().stopping();
    control_.stop();
    metrics_.stop();
}
