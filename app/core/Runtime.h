#pragma once
#include <cstdio>
#include <functional>
#include <string>

#include "app/core/MailAlerts.h"
#include "app/core/ServerListStore.h"
#include "app/core/ServiceHost.h"
#include "app/core/StateFileWriter.h"
#include "config/ServerList.h"
#include "config/Settings.h"
#include "mail/MailAlertSink.h"
#include "mail/MailDelivery.h"
#include "supervision/Clock.h"
#include "supervision/Supervisor.h"

// What a running Procward is, the same for the window, --headless and
// procwardd: the settings, the Supervisor with its exit watcher, the alert
// sinks (the mail with its delivery thread), ctl, the metrics and the
// service manager (ServiceHost), the server list, and the state file that
// lets the next run take over the servers this one holds. Its host gives it a
// thread to run on and a way to be woken; the host shows what it likes
// (the window its rows, the window-less mode a table of text).
//
// Built in that order, torn down in the reverse: nothing a worker thread
// wakes outlives what it wakes.
class Runtime {
public:
    // Reads procward.ini (its warnings go to the log) and builds the parts;
    // nothing runs yet. `wake` is called from worker threads (exit watcher,
    // control socket) and must only get the host's thread to call runDue
    // (the window: CallAfter; without one: StopRequest::wake). `complaints`
    // is where a program without a window tells what fails besides the log
    // (standard error); null for the window, which shows its own boxes.
    explicit Runtime(std::function<void()> wake, std::FILE* complaints = nullptr);
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // Starts the exit watcher, the control socket, the metrics and the
    // service manager's notifications, and loads the server list at
    // AppDirectories::serverListPath(): the first check of each server
    // starts what is not running. Observers added before see the load.
    void start();
    // On the host's thread after a wake or when nextDue has come: the ctl
    // commands handed over, what the Supervisor has due, the watchdog.
    void runDue();
    // When runDue next has something to do.
    Clock::TimePoint nextDue() const;
    // The end: the service manager hears of it, queued commands are
    // answered, mails still on their way get their grace, and the state
    // file holds what the supervisor holds.
    void stop();

    Supervisor& supervisor() { return supervisor_; }
    const Settings& settings() const { return settings_; }
    // The operator's new settings: written to procward.ini, then handed to
    // the Supervisor (stop time-out, back-off maximum) and the mail sink.
    // The check interval counts from the next start. False, with the reason,
    // when the file could not be written: nothing changes then.
    bool changeSettings(const Settings& settings, std::string& error);

    MailDelivery& mailDelivery() { return delivery_; }
    MailAlertSink& mailSink() { return mailSink_; }
    const ServerList& serverList() const { return list_; }
    StateFileWriter& stateFile() { return stateFile_; }
    ServiceHost& serviceHost() { return host_; }

private:
    std::function<void()> wake_;
    std::string settingsPath_;
    Settings settings_;
    MailDelivery delivery_;
    MailAlertSink mailSink_;
    MailAlerts mailAlerts_;
    ServerList list_;
    ServerListStore store_;
    StateFileWriter stateFile_;
    Supervisor supervisor_;
    ServiceHost host_;
    bool stopped_ = false;
};
