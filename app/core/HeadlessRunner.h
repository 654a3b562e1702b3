#pragma once
#include <cstdio>
#include <string>

#include "config/ServerList.h"

// Supervision without a window: the same start-up, files, records, checks,
// log lines and alerts as the main window, with the rows printed as text.
class HeadlessRunner {
public:
    explicit HeadlessRunner(std::FILE* out = stdout);

    // Runs until a stop is requested; returns the exit code.
    int run();

    // One check of every server, in index order; prints a line for each
    // row that changed. Returns the number of changed rows.
    int checkAll();
    // Reads the settings and the server list and runs each record's first
    // check (which starts what is not running).
    void load();
    void printTable();

    static std::string rowLine(const MonitoredServer& server);
    static std::string headerLine();

    ServerList& serverList() { return list_; }
    int checkInterval() const { return checkInterval_; }

private:
    std::FILE* out_;
    ServerList list_;
    int checkInterval_ = 5;
};
