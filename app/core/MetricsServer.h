#pragma once
#include <memory>
#include <string>
#include <thread>

#include "app/core/HttpEndpoint.h"

class AlertCounters;
class StatusBoard;
namespace platform {
class Module;
}

// GET /metrics in the Prometheus text format, on a thread of its own (and
// one more that answers the requests), from the snapshot the loop
// publishes: a scrape never waits for a check, and a check never for a
// scrape. The HTTP server comes from the metrics module, loaded at start.
class MetricsServer {
public:
    // `alerts`: how the alerts fared (none: reported as zero).
    MetricsServer(const StatusBoard& board, std::shared_ptr<const AlertCounters> alerts);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Splits "host:port" ("[::1]:9464" for an IPv6 address). False with the
    // reason when it is not of that form or the port is not 1 to 65535.
    static bool parseListen(const std::string& text, std::string& host, int& port, std::string& error);
    // Whether `host` (as parseListen gives it) only takes connections from
    // this machine: localhost, 127.0.0.0/8, ::1.
    static bool isLoopback(const std::string& host);
    // Where the metrics module is looked for: beside the executable, then
    // in ../lib/procward (an installed program).
    static std::vector<std::string> modulePaths();
    // Binds `listen` ("127.0.0.1:9464") and starts answering. False with a
    // one-line reason.
    bool start(const std::string& listen, std::string& error);
    void stop();

    // The text of one scrape.
    std::string scrape() const;

private:
    const StatusBoard& board_;
    std::shared_ptr<const AlertCounters> alerts_;
    bool socketsStarted_ = false;  // paired with a cleanup at the end
    std::unique_ptr<platform::Module> module_;
    std::unique_ptr<HttpEndpoint> endpoint_;
    std::thread thread_;
};
