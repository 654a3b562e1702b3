#pragma once
#include <cstdio>
#include <string>

#include "supervision/SupervisorObserver.h"

class Supervisor;

// Supervision without a window: the same Runtime as the main window (files,
// records, checks, log lines, alerts, ctl), with the rows printed as text;
// procwardd and `procward --headless` run it.
class HeadlessRunner : public SupervisorObserver {
public:
    explicit HeadlessRunner(std::FILE* out = stdout);

    // Runs until a stop is requested; returns the exit code.
    int run();

    static std::string rowLine(const MonitoredServer& server);
    static std::string headerLine();

    // A changed row is printed.
    void serverChanged(const MonitoredServer& server) override;

private:
    void printTable(const Supervisor& supervisor);

    std::FILE* out_;
};
