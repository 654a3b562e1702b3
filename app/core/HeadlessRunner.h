#pragma once
#include <cstdio>
#include <memory>
#include <string>

#include "app/core/ServiceHost.h"
#include "config/ServerList.h"
#include "supervision/Supervisor.h"

// Supervision without a window: the same start-up, files, records, checks,
// log lines and alerts as the main window, with the rows printed as text;
// procwardd and `procward --headless` run it.
class HeadlessRunner : public SupervisorObserver {
public:
    explicit HeadlessRunner(std::FILE* out = stdout);

    // Runs until a stop is requested; returns the exit code.
    int run();

    // Reads the settings and the server list and runs each record's first
    // check (which starts what is not running). With `serve`, ctl, the
    // metrics and the service manager are served too (ServiceHost).
    void load(bool serve = false);
    void printTable();

    static std::string rowLine(const MonitoredServer& server);
    static std::string headerLine();

    // A changed row is printed.
    void serverChanged(const MonitoredServer& server) override;

    ServerList& serverList() { return list_; }
    Supervisor& supervisor() { return *supervisor_; }

private:
    std::FILE* out_;
    ServerList list_;
    std::unique_ptr<Supervisor> supervisor_;
    std::unique_ptr<ServiceHost> host_;
};
