#pragma once
#include <cstdio>
#include <functional>
#include <string>

#include "alerts/AlertChannels.h"
#include "app/core/MailAlerts.h"
#include "app/core/OutputRotator.h"
#include "app/core/ServerListStore.h"
#include "app/core/ServiceHost.h"
#include "app/core/StateFileWriter.h"
#include "config/ListResult.h"
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

    // Reads serverinfo.json at AppDirectories::serverListPath() for the
    // start. A file that exists but cannot be read fails with the reason
    // (for a syntax error: file, line and column), logged; the list is then
    // empty. No file at all is an empty list (result.missing).
    ListResult readList();
    // Starts the exit watcher, the control socket, the metrics and the
    // service manager's notifications, and loads the list readList read
    // (reading it first when it has not been): the first check of each
    // server starts what is not running. Observers added before see the load.
    void start();
    // On the host's thread after a wake or when nextDue has come: a reload
    // asked for by SIGHUP, the ctl commands handed over, what the Supervisor
    // has due, the watchdog.
    void runDue();
    // When runDue next has something to do.
    Clock::TimePoint nextDue() const;

    // Reads procward.ini and serverinfo.json again and applies them as a
    // change of the list is applied: entries whose name, processname and
    // commandline are unchanged keep their process and state, new ones
    // start, removed ones are no longer supervised; every setting takes
    // effect, the check interval included (RESTART_ON_EXIT from the next
    // start). A file that cannot be read (or a list that has gone) refuses
    // the whole reload: the running configuration stays, and the reason is
    // logged and shown in the service manager's status until a reload
    // succeeds. `cause` names who asked ("SIGHUP", "ctl"). True when
    // applied; `text` is what to tell the one who asked.
    // The answer and the log line name what changed ("added: a; changed:
    // chg (commandline); removed: gone; unchanged: 5"). `dryRun`: the files
    // are read and what would change is said; nothing is applied.
    bool reload(const std::string& cause, std::string& text, bool dryRun = false);
    // `ctl list`, `add`, `set` and `remove`: the change is made to
    // serverinfo.json as the window makes it (the file's other keys kept,
    // the previous list backed up), then applied as a reload applies it.
    bool editList(const std::string& verb, const std::string& name, const std::string& payload, bool json,
                  std::string& text);

    // The kept copies of serverinfo.json as `ctl backups` shows them: one
    // line each, newest first, with its number, time and server count.
    std::string backupsText() const;
    // Brings copy `number` of serverinfo.json back (ListBackups numbers
    // them, 1 the newest) and applies the list as a reload applies it:
    // unchanged entries keep their processes, new ones start, removed ones
    // are no longer supervised. procward.ini is not read again. `cause`
    // names who asked ("ctl", "window"). True when applied; `text` says what
    // changed, or why nothing did.
    bool restoreList(int number, const std::string& cause, std::string& text);

    // How the program was asked to end, in the words of its last log line
    // ("SIGTERM", "ctl"); empty while nothing asked. The host looks after
    // each runDue (and after each wake) and then calls stop.
    std::string endRequested() const;
    // The end: the service manager hears of it, queued commands are
    // answered, the channels hear that Procward is stopping, mails and
    // webhook posts still on their way get their grace (together, within
    // 5 s), the state file
    // holds what the supervisor holds, and the log's last line says how the
    // program ends: "Procward exiting: " and `how`.
    void stop(const std::string& how);

    Supervisor& supervisor() { return supervisor_; }
    const Settings& settings() const { return settings_; }
    // The operator's new settings: written to procward.ini, then handed to
    // the Supervisor (stop time-out, back-off maximum) and the mail sink.
    // The check interval counts from the next start (or reload). False, with
    // the reason, when the file could not be written: nothing changes then.
    bool changeSettings(const Settings& settings, std::string& error);

    MailDelivery& mailDelivery() { return delivery_; }
    MailAlertSink& mailSink() { return mailSink_; }
    AlertChannels& alertChannels() { return channels_; }
    const ServerList& serverList() const { return list_; }
    StateFileWriter& stateFile() { return stateFile_; }
    ServiceHost& serviceHost() { return host_; }
    OutputRotator& outputRotator() { return rotator_; }

private:
    // Hands settings to the parts that use them; `all` also the check
    // interval, the metrics address and the log retention (a reload).
    void apply(const Settings& settings, bool all);
    void logMailState(const AlertMailSettingsData* before) const;
    // The webhook channels of the settings, said in the log.
    void configureChannels();
    // The supervisor's own event (started, stopping) to every channel.
    void raiseOwn(AlertKind kind, const std::string& message);
    // The digest mail of alerts held back, once the interval has passed.
    void sendDigests();
    void startRotation();

    std::function<void()> wake_;
    std::FILE* complaints_;
    std::string settingsPath_;
    Settings settings_;
    MailDelivery delivery_;
    MailAlertSink mailSink_;
    MailAlerts mailAlerts_;
    AlertChannels channels_;  // the webhooks
    ServerList list_;
    ServerListStore store_;
    StateFileWriter stateFile_;
    Supervisor supervisor_;
    ServiceHost host_;
    OutputRotator rotator_;
    bool listRead_ = false;
    bool stopped_ = false;
    std::string endHow_;  // set by ctl shutdown
};
