#pragma once
#include <atomic>
#include <memory>

#include "app/core/HttpEndpoint.h"

class BoundedHttpServer;

// The endpoint on cpp-httplib's server, with the limits of
// BoundedHttpServer: one thread accepts (the caller of serve), a few more
// answer, so a slow client holds up neither another scrape nor the end.
class HttplibEndpoint : public HttpEndpoint {
public:
    // Workers, connections waiting or served at once, and the time one
    // connection may take from its acceptance to its last byte.
    static constexpr std::size_t kThreads = 4;
    static constexpr std::size_t kConnections = 32;
    static constexpr int kExchangeSeconds = 10;

    HttplibEndpoint(const std::string& path, const std::string& contentType, std::function<std::string()> body);
    ~HttplibEndpoint() override;
    bool bind(const std::string& host, int port, std::string& error) override;
    void serve() override;
    void stop() override;

private:
    std::unique_ptr<BoundedHttpServer> server_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> served_{false};
};
