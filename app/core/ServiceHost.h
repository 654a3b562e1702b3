#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/core/ControlServer.h"
#include "app/core/MetricsServer.h"
#include "app/core/PassHistogram.h"
#include "app/core/StatusBoard.h"
#include "supervision/Clock.h"
#include "supervision/SupervisorObserver.h"

class AlertCounters;
class Supervisor;

// What a running supervisor offers besides its checks, the same with and
// without a window: `ctl` on the local command socket, /metrics when
// [METRICS] LISTEN is set, and the service manager's notifications. It
// watches the Supervisor and publishes the snapshot the worker threads
// answer from, after each pass and each change.
class ServiceHost : public SupervisorObserver {
public:
    // `wake` is called from worker threads and must only get the loop's
    // thread to call runQueued (StopRequest::wake, or CallAfter in the window).
    // `alerts` are the counters the metrics report (none: all zero).
    ServiceHost(Supervisor& supervisor, std::function<void()> wake,
                std::shared_ptr<const AlertCounters> alerts = {});
    ~ServiceHost() override;
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // Opens the command socket and, when `metricsListen` ([METRICS] LISTEN)
    // is set, the metrics listener. What cannot be opened is logged and left
    // out; supervision goes on.
    void start(const std::string& metricsListen);
    // On the loop's thread, after a wake: the control commands handed over.
    void runQueued();
    // When the loop must next tell the service manager that it lives; the
    // far future when nobody watches.
    Clock::TimePoint nextWatchdog() const { return nextWatchdog_; }
    // Tells it, when that time has come (on the loop's thread).
    void watchdogIfDue(Clock::TimePoint now);
    // The end: STOPPING=1, queued commands answered, workers ended.
    void stopping();
    // What `ctl reload` and `ctl shutdown` do.
    void setControlActions(ControlServer::Actions actions) { control_.setActions(std::move(actions)); }
    // A problem with the configuration the service manager's status line
    // shows after the count of running servers until it is cleared (empty).
    void setConfigProblem(const std::string& problem);
    // [METRICS] LISTEN read again: the metrics move to the new address (or
    // end, or begin); nothing happens when it is the same.
    void changeMetrics(const std::string& metricsListen);

    const StatusBoard& board() const { return board_; }
    const std::string& socketPath() const { return socketPath_; }

    void serverChanged(const MonitoredServer& server) override;
    void passEnded() override;
    void listLoaded() override;

private:
    void publish();
    void startMetrics(const std::string& metricsListen);
    // Whether every server to be started has had its first start (or its
    // first failure): launches are made in slices, and the last ones of a
    // long list come after the load.
    bool everyStartTried() const;

    Supervisor& supervisor_;
    StatusBoard board_;
    PassHistogram passDurations_;
    ControlServer control_;
    MetricsServer metrics_;
    std::string socketPath_;
    bool loaded_ = false;      // the first load is done
    bool passedOnce_ = false;  // and a whole pass after it
    bool ready_ = false;
    bool stopped_ = false;
    std::string lastStatus_;
    // The counts of running and listed servers the status line last showed.
    std::optional<std::pair<std::int32_t, std::size_t>> statusCounts_;
    std::string configProblem_;
    std::string metricsListen_;
    Clock::Duration watchdogInterval_{0};
    Clock::TimePoint nextWatchdog_ = Clock::TimePoint::max();
};
