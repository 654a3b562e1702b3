#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestCertificates.h"

namespace httplib {
class SSLServer;
}

// A local HTTPS server standing in for a chat robot's webhook: it keeps
// every POST it gets and answers each with the status and body it is told.
// It can be stopped and started again on the same port (a service that is
// down for a while).
class ChatServer {
public:
    // What it answers to one request.
    struct Reply {
        int status = 200;
        std::string body = R"({"errcode":0,"errmsg":"ok"})";
        std::vector<std::pair<std::string, std::string>> headers{};
    };
    struct Request {
        std::string path;
        std::map<std::string, std::string> params;  // the query, decoded
        std::map<std::string, std::string> headers;
        std::string body;
        Reply reply;  // what it was answered
    };
    // Chooses the reply to a request; runs on the server's threads, one
    // request at a time.
    using Responder = std::function<Reply(const Request&)>;

    // Listens on 127.0.0.1 at `port` (0: any free one) with `certificate`.
    explicit ChatServer(TestCertificates::ServerCertificate certificate, int port = 0, bool start = true);
    ~ChatServer();
    ChatServer(const ChatServer&) = delete;
    ChatServer& operator=(const ChatServer&) = delete;

    void start();
    void stop();

    int port() const { return port_; }
    // "https://127.0.0.1:<port>" followed by `pathAndQuery`.
    std::string url(const std::string& pathAndQuery) const;
    // What it answers from now on (at first: 200 with `{"errcode":0,"errmsg":"ok"}`).
    void answer(int status, std::string body);
    // Lets `responder` choose each reply from now on.
    void respond(Responder responder);

    std::vector<Request> requests() const;
    // Waits until at least `count` requests came, at most `limit`.
    bool waitForRequests(std::size_t count, std::chrono::seconds limit = std::chrono::seconds(60)) const;

private:
    TestCertificates::ServerCertificate certificate_;
    int port_;
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<Request> requests_;
    Responder responder_;
};
