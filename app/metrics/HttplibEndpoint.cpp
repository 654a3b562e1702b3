#include "app/metrics/HttplibEndpoint.h"

#include <httplib.h>

#include <chrono>
#include <thread>

#include "app/metrics/BoundedHttpServer.h"
#include "platform/ListeningSocket.h"
#include "platform/Sockets.h"

HttplibEndpoint::HttplibEndpoint(const std::string& path, const std::string& contentType,
                                 std::function<std::string()> body)
    : server_(std::make_unique<BoundedHttpServer>(kThreads, kConnections, std::chrono::seconds(kExchangeSeconds))) {
    server_->set_socket_options([](socket_t socket) { platform::prepareListeningSocket(socket); });
    server_->Get(path, [contentType, body](const httplib::Request&, httplib::Response& response) {
        response.set_content(body(), contentType.c_str());
    });
    server_->Get("/", [path](const httplib::Request&, httplib::Response& response) {
        response.set_content("Procward: the metrics are at " + path + "\n", "text/plain; charset=utf-8");
    });
}

HttplibEndpoint::~HttplibEndpoint() = default;

bool HttplibEndpoint::bind(const std::string& host, int port, std::string& error) {
    // cpp-httplib says only whether it could bind; the reason is the error
    // its last socket call left.
    platform::clearSocketError();
    if (server_->bind_to_port(host, port)) return true;
    const std::string cause = platform::socketErrorText();
    error = "cannot listen on " + host + ":" + std::to_string(port) + (cause.empty() ? "" : ": " + cause);
    return false;
}

void HttplibEndpoint::serve() {
    if (!stopRequested_) server_->listen_after_bind();
    served_ = true;
}

void HttplibEndpoint::stop() {
    stopRequested_ = true;
    // The server's stop only reaches a listen that has begun.
    while (!server_->is_running() && !served_) std::this_thread::yield();
    server_->stopNow();
}

extern "C" __attribute__((visibility("default"))) HttpEndpoint* procward_make_http_endpoint(
    const std::string& path, const std::string& contentType, std::function<std::string()> body) {
    return new HttplibEndpoint(path, contentType, std::move(body));
}
