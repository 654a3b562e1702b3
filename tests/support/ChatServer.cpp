#include "tests/support/ChatServer.h"

#include <httplib.h>

#include <stdexcept>

ChatServer::ChatServer(TestCertificates::ServerCertificate certificate, int port, bool startNow)
    : certificate_(std::move(certificate)), port_(port) {
    if (port_ == 0) {
        // A free port, found by binding one; the server keeps it.
        start();
        if (!startNow) stop();
    } else if (startNow) {
        start();
    }
}

ChatServer::~ChatServer() { stop(); }

void ChatServer::start() {
    if (server_) return;
    server_ = std::make_unique<httplib::SSLServer>(certificate_.certificateFile.c_str(), certificate_.keyFile.c_str());
    if (!server_->is_valid()) throw std::runtime_error("the test HTTPS server could not load its certificate");
    server_->Post(R"(.*)", [this](const httplib::Request& request, httplib::Response& response) {
        Request kept;
        kept.path = request.path;
        for (const auto& [key, value] : request.params) kept.params[key] = value;
        for (const auto& [key, value] : request.headers) kept.headers[key] = value;
        kept.body = request.body;
        std::lock_guard lock(mutex_);
        if (responder_) kept.reply = responder_(kept);
        response.status = kept.reply.status;
        for (const auto& [name, value] : kept.reply.headers) response.set_header(name, value);
        response.set_content(kept.reply.body, "application/json");
        requests_.push_back(std::move(kept));
        arrived_.notify_all();
    });
    if (port_ == 0) {
        port_ = server_->bind_to_any_port("127.0.0.1");
    } else if (!server_->bind_to_port("127.0.0.1", port_)) {
        throw std::runtime_error("the test HTTPS server could not bind its port again");
    }
    if (port_ <= 0) throw std::runtime_error("the test HTTPS server could not bind");
    thread_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
    // Stopping works on a server that listens: wait until it does.
    while (!server_->is_running()) std::this_thread::yield();
}

void ChatServer::stop() {
    if (!server_) return;
    server_->stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
}

std::string ChatServer::url(const std::string& pathAndQuery) const {
    return "https://127.0.0.1:" + std::to_string(port_) + pathAndQuery;
}

void ChatServer::answer(int status, std::string body) {
    respond([reply = Reply{status, std::move(body), {}}](const Request&) { return reply; });
}

void ChatServer::respond(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

std::vector<ChatServer::Request> ChatServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool ChatServer::waitForRequests(std::size_t count, std::chrono::seconds limit) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, limit, [&] { return requests_.size() >= count; });
}
