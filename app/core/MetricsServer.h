#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <thread>

class StatusBoard;
namespace httplib {
class Server;
}

// GET /metrics in the Prometheus text format, on a thread of its own (and
// one more that answers the requests), from the snapshot the loop
// publishes: a scrape never waits for a check, and a check never for a
// scrape.
class MetricsServer {
public:
    explicit MetricsServer(const StatusBoard& board);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Splits "host:port" ("[::1]:9464" for an IPv6 address). False with the
    // reason when it is not of that form or the port is not 1 to 65535.
    static bool parseListen(const std::string& text, std::string& host, int& port, std::string& error);
    // Binds `listen` ("127.0.0.1:9464") and starts answering. False with a
    // one-line reason.
    bool start(const std::string& listen, std::string& error);
    void stop();

    // The text of one scrape.
    std::string scrape() const;

private:
    const StatusBoard& board_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
};
