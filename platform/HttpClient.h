#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// One HTTP(S) POST, as the alert channels send them.
struct HttpRequest {
    std::string url;
    std::vector<std::string> headers;  // "Name: value"
    std::string body;
    // The whole exchange, connection included, ends within this.
    std::chrono::milliseconds timeout{10000};
    // Set from another thread to cut the exchange short (at exit): the
    // exchange then ends within a tenth of a second.
    const std::atomic<bool>* cancel = nullptr;
    // Receives the exchange line by line (what is sent, what comes back, the
    // TLS and connection steps), with every text of `secrets` replaced by
    // "***". Runs on the sending thread. Empty: no trace.
    std::function<void(const std::string&)> trace;
    std::vector<std::string> secrets;
};

struct HttpResponse {
    bool answered = false;  // an HTTP answer came back (of any status)
    int status = 0;
    std::string body;
    std::string error;       // why no answer came (connection, certificate, time-out)
    bool cancelled = false;  // cut short through HttpRequest::cancel
    // The answer's header fields, "Name" and value, in their order (of the
    // final answer when there were several, as after a 100 Continue).
    std::vector<std::pair<std::string, std::string>> headers;

    // The value of the first header field named `name` (letter case
    // ignored); empty when there is none.
    std::string header(const std::string& name) const;
};

// Adds one header line of an answer ("Name: value", with or without its
// CR LF) to `response`; a status line ("HTTP/1.1 200 OK") starts the fields
// of a new answer.
void addHeaderLine(HttpResponse& response, std::string line);

// Sends a POST now, on the calling thread; never throws. HTTPS certificates
// are checked against the system's trusted authorities (here SSL_CERT_FILE
// and SSL_CERT_DIR when set, else the system store; on Windows the system
// store), host name included. HTTPS_PROXY/HTTP_PROXY and NO_PROXY are
// honoured.
HttpResponse httpPost(const HttpRequest& request);

// `text` with every non-empty text of `secrets` replaced by "***".
std::string maskSecrets(std::string text, const std::vector<std::string>& secrets);

}  // namespace platform
