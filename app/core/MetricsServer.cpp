#include "app/core/MetricsServer.h"

#include <algorithm>
#include <vector>

#include "app/core/ProgramVersion.h"
#include "app/core/StatusBoard.h"
#include "app/core/StatusReport.h"
#include "config/ExeDirectory.h"
#include "mail/AlertCounters.h"
#include "platform/Module.h"
#include "platform/Sockets.h"
#include "platform/System.h"

MetricsServer::MetricsServer(const StatusBoard& board, std::shared_ptr<const AlertCounters> alerts)
    : board_(board), alerts_(std::move(alerts)) {}

MetricsServer::~MetricsServer() {
    stop();
    if (socketsStarted_) platform::defaultSockets().cleanup();
}

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

bool MetricsServer::isLoopback(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    // 127.a.b.c: four dotted numbers below 256, the first 127.
    int parts = 0;
    std::size_t at = 0;
    while (at <= host.size()) {
        const std::size_t dot = std::min(host.find('.', at), host.size());
        const std::string part = host.substr(at, dot - at);
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(part) > 255 || (parts == 0 && part != "127"))
            return false;
        ++parts;
        at = dot + 1;
    }
    return parts == 4;
}

std::vector<std::string> MetricsServer::modulePaths() {
    const std::string file = platform::moduleFileName(kMetricsModuleStem);
    const std::string directory = GetExeDirectory();
    const char separator = platform::pathSeparator();
    return {directory + separator + file,
            directory + separator + ".." + separator + "lib" + separator + "procward" + separator + file};
}

std::string MetricsServer::scrape() const {
    StatusReport::Alerts alerts;
    if (alerts_) {
        alerts.sent = alerts_->sent;
        alerts.failed = alerts_->failed;
        alerts.suppressed = alerts_->suppressed;
        alerts.off = alerts_->off;
        alerts.digested = alerts_->digested;
        for (const auto& channel : alerts_->channels()) {
            StatusReport::Alerts::Channel c;
            c.name = channel->name;
            c.sent = channel->sent;
            c.failed = channel->failed;
            c.retried = channel->retried;
            c.refused = channel->refused;
            c.lastRefusal = channel->lastRefusal(c.lastRefusalTime);
            c.digested = channel->digested;
            alerts.channels.push_back(std::move(c));
        }
    }
    return StatusReport::metrics(*board_.current(), alerts, ProgramVersion()) +
           StatusReport::processMetrics(platform::selfUsage());
}

bool MetricsServer::start(const std::string& listen, std::string& error) {
    std::string host;
    int port = 0;
    if (!parseListen(listen, host, port, error)) return false;
    if (!module_) {
        // The HTTP library starts the socket library while its module loads,
        // where on Windows that may load further libraries under the
        // loader's lock and deadlock. Started here first, the library's own
        // start only counts one more user.
        if (!socketsStarted_)
            socketsStarted_ = platform::defaultSockets().startup() == platform::SocketLibraryStart::Started;
        std::string reasons;
        for (const std::string& path : modulePaths()) {
            if (!platform::fileExists(path)) continue;
            module_ = platform::loadModule(path, error);
            if (module_) break;
            reasons += (reasons.empty() ? "" : "; ") + error;
        }
        if (!module_) {
            error = reasons.empty() ? "the metrics module " + modulePaths().front() + " is missing" : reasons;
            return false;
        }
    }
    const auto make = reinterpret_cast<MakeHttpEndpointFunction>(module_->symbol(kMakeHttpEndpointSymbol));
    if (!make) {
        error = "the metrics module has no " + std::string(kMakeHttpEndpointSymbol);
        return false;
    }
    endpoint_.reset(make("/metrics", "text/plain; version=0.0.4; charset=utf-8", [this] { return scrape(); }));
    if (!endpoint_->bind(host, port, error)) {
        endpoint_.reset();
        return false;
    }
    thread_ = std::thread([this] { endpoint_->serve(); });
    return true;
}

void MetricsServer::stop() {
    if (!endpoint_) return;
    endpoint_->stop();
    if (thread_.joinable()) thread_.join();
    endpoint_.reset();
}
