#pragma once
#include <atomic>
#include <memory>

#include "app/core/HttpEndpoint.h"

namespace httplib {
class Server;
}

// The endpoint on cpp-httplib's server: one thread accepts (the caller of
// serve), one more answers, since a scrape is small and rare.
class HttplibEndpoint : public HttpEndpoint {
public:
    HttplibEndpoint(const std::string& path, const std::string& contentType, std::function<std::string()> body);
    ~HttplibEndpoint() override;
    bool bind(const std::string& host, int port, std::string& error) override;
    void serve() override;
    void stop() override;

private:
    std::unique_ptr<httplib::Server> server_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> served_{false};
};
