#include "app/core/MetricsServer.h"

#include <httplib.h>

#include <cerrno>
#include <cstring>

#include "app/core/StatusBoard.h"
#include "app/core/StatusReport.h"
#include "mail/AlertCounters.h"
#include "platform/ListeningSocket.h"
#include "platform/System.h"

#ifndef PROCWARD_VERSION
#define PROCWARD_VERSION "unknown"
#endif

MetricsServer::MetricsServer(const StatusBoard& board) : board_(board) {}

MetricsServer::~MetricsServer() { stop(); }

bool MetricsServer::parseListen(const std::string& text, std::string& host, int& port, std::string& error) {
    std::string portText;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "\"" + text + "\" is not [address]:port";
            return false;
        }
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos || colon == 0 || text.find(':') != colon) {
            error = "\"" + text + "\" is not host:port";
            return false;
        }
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    if (host.empty() || portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos) {
        error = "\"" + text + "\" is not host:port";
        return false;
    }
    port = std::stoi(portText);
    if (port < 1 || port > 65535) {
        error = "the port of \"" + text + "\" is not 1 to 65535";
        return false;
    }
    return true;
}

std::string MetricsServer::scrape() const {
    const AlertCounters& counters = AlertCounters::process();
    StatusReport::Alerts alerts;
    alerts.sent = counters.sent;
    alerts.failed = counters.failed;
    alerts.suppressed = counters.suppressed;
    return StatusReport::metrics(*board_.current(), alerts, PROCWARD_VERSION);
}

bool MetricsServer::start(const std::string& listen, std::string& error) {
    std::string host;
    int port = 0;
    if (!parseListen(listen, host, port, error)) return false;
    server_ = std::make_unique<httplib::Server>();
    // One thread answers: a scrape is small and comes every few seconds.
    server_->new_task_queue = [] { return new httplib::ThreadPool(1); };
    server_->set_socket_options([](socket_t socket) { platform::prepareListeningSocket(socket); });
    server_->set_read_timeout(5, 0);
    server_->set_write_timeout(5, 0);
    server_->set_keep_alive_max_count(10);
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(scrape(), "text/plain; version=0.0.4; charset=utf-8");
    });
    server_->Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("Procward: the metrics are at /metrics\n", "text/plain; charset=utf-8");
    });
    errno = 0;
    if (!server_->bind_to_port(host, port)) {
        const int cause = errno;
        error = "cannot listen on " + listen + (cause ? std::string(": ") + std::strerror(cause) : std::string());
        server_.reset();
        return false;
    }
    finished_ = false;
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        finished_ = true;
    });
    return true;
}

void MetricsServer::stop() {
    if (!server_) return;
    if (thread_.joinable()) {
        // stop() only reaches a server that has begun to listen.
        while (!server_->is_running() && !finished_) platform::sleepMilliseconds(1);
        server_->stop();
        thread_.join();
    }
    server_.reset();
}
