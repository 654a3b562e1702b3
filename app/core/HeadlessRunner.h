#pragma once
#include <cstdio>
#include <map>
#include <string>

#include "supervision/ServerReport.h"
#include "supervision/SupervisorObserver.h"

class Runtime;
class Supervisor;

// Supervision without a window: the same Runtime as the main window (files,
// records, checks, log lines, alerts, ctl), with the rows printed as text;
// procwardd and `procward --headless` run it.
class HeadlessRunner : public SupervisorObserver {
public:
    // `program` names the program in what it prints on standard error.
    explicit HeadlessRunner(std::FILE* out = stdout, std::string program = "procward");

    // Runs until a stop is requested (SIGINT, SIGTERM, ctl shutdown);
    // SIGHUP reloads the files. As the first process of a PID namespace
    // (a container's entrypoint) SIGINT and SIGTERM stop every server
    // before it ends; otherwise the servers keep running. Returns the exit code: 1 when the server
    // list cannot be read at the start, else 0.
    int run();

    static std::string rowLine(const ServerReport& server);
    static std::string headerLine();
    // The line printed when a server changes: its row and, while it has no
    // process, why and when it is tried again: "  [exited with code 3 after
    // 0.8 s; next attempt 10:42:07]" (or why its start failed).
    static std::string changeLine(const ServerReport& server);

    // Why run() ended with 1; empty otherwise.
    const std::string& fatalError() const { return fatalError_; }

    // A changed row is printed: once per change of its state, process,
    // address, health verdict or auto-start mode, not again for a new
    // reading of the same verdict.
    void serverChanged(const MonitoredServer& server) override;

private:
    void printTable(const Supervisor& supervisor);
    // Stops every server as `ctl stop --all` does and waits for the stops.
    void stopEveryServer(Runtime& runtime);
    // What a printed line stands for; the same key is not printed twice.
    static std::string keyOf(const ServerReport& server);

    std::map<std::int32_t, std::string> printed_;
    std::FILE* out_;
    std::string program_;
    std::string fatalError_;
};
