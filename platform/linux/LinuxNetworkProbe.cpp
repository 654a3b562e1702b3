#include "platform/NetworkProbe.h"
#include "platform/linux/LinuxCurl.h"

#include <algorithm>

namespace platform {

namespace {

// libcurl, loaded and initialised on the first probe; null when it cannot be.
const LinuxCurl* library() {
    std::string error;
    return LinuxCurl::get(error);
}

std::string urlHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// An HTTP probe uses one handle per thread, kept and reset for each probe:
// making a handle anew each time costs more than the probe of a local
// server itself. A connect-only probe has a handle of its own, whose end
// closes the connection it made.
struct Easy {
    CURL* handle;
    bool own;
    explicit Easy(bool ownHandle) : handle(nullptr), own(ownHandle) {
        if (!library()) return;
        if (own) {
            handle = library()->easyInit();
        } else {
            handle = threadHandle();
            if (handle) library()->easyReset(handle);
        }
    }
    ~Easy() {
        if (own && handle) library()->easyCleanup(handle);
    }
    Easy(const Easy&) = delete;
    Easy& operator=(const Easy&) = delete;

private:
    static CURL* threadHandle() {
        struct Owned {
            CURL* handle = nullptr;
            ~Owned() {
                if (handle) library()->easyCleanup(handle);
            }
        };
        thread_local Owned owned;
        if (!owned.handle) owned.handle = library()->easyInit();
        return owned.handle;
    }
};

// Common settings: a limit on the whole transfer, no signals (which a
// resolver time-out would raise on a thread that is not the main one), no
// proxy from the environment: the server is reached directly.
void limit(CURL* handle, std::chrono::milliseconds limit) {
    const long ms = static_cast<long>(limit.count() > 0 ? limit.count() : 1);
    library()->easySetopt(handle, CURLOPT_NOSIGNAL, 1L);
    library()->easySetopt(handle, CURLOPT_TIMEOUT_MS, ms);
    library()->easySetopt(handle, CURLOPT_CONNECTTIMEOUT_MS, ms);
    library()->easySetopt(handle, CURLOPT_PROXY, "");
    library()->easySetopt(handle, CURLOPT_NOPROXY, "*");
}

ProbeEnd endOf(CURLcode code) {
    if (code == CURLE_OK) return ProbeEnd::Answered;
    return code == CURLE_OPERATION_TIMEDOUT ? ProbeEnd::TimedOut : ProbeEnd::Failed;
}

struct Body {
    std::string* text;
    std::size_t max;
};

std::size_t keepBody(char* bytes, std::size_t size, std::size_t count, void* user) {
    Body& body = *static_cast<Body*>(user);
    const std::size_t n = size * count;
    if (body.text->size() < body.max) body.text->append(bytes, std::min(n, body.max - body.text->size()));
    return n;
}

}  // namespace

ConnectProbe probeConnect(const std::string& host, std::uint16_t port, std::chrono::milliseconds limitMs) {
    ConnectProbe probe;
    Easy easy(true);
    if (!easy.handle) {
        probe.error = "cannot make a connection";
        return probe;
    }
    const std::string url = "http://" + urlHost(host) + ":" + std::to_string(port) + "/";
    library()->easySetopt(easy.handle, CURLOPT_URL, url.c_str());
    library()->easySetopt(easy.handle, CURLOPT_CONNECT_ONLY, 1L);
    limit(easy.handle, limitMs);
    const CURLcode code = library()->easyPerform(easy.handle);
    probe.end = endOf(code);
    if (code != CURLE_OK) probe.error = library()->easyStrerror(code);
    return probe;
}

HttpProbe probeHttp(const std::string& host, std::uint16_t port, const std::string& path,
                    std::chrono::milliseconds limitMs, std::size_t maxBody) {
    HttpProbe probe;
    Easy easy(false);
    if (!easy.handle) {
        probe.error = "cannot make a connection";
        return probe;
    }
    const std::string url = "http://" + urlHost(host) + ":" + std::to_string(port) + path;
    Body body{&probe.body, maxBody};
    library()->easySetopt(easy.handle, CURLOPT_URL, url.c_str());
    library()->easySetopt(easy.handle, CURLOPT_FOLLOWLOCATION, 0L);
    // No connection is kept open to the server between probes.
    library()->easySetopt(easy.handle, CURLOPT_FORBID_REUSE, 1L);
    library()->easySetopt(easy.handle, CURLOPT_WRITEFUNCTION, keepBody);
    library()->easySetopt(easy.handle, CURLOPT_WRITEDATA, &body);
    library()->easySetopt(easy.handle, CURLOPT_USERAGENT, "procward-health");
    limit(easy.handle, limitMs);
    const CURLcode code = library()->easyPerform(easy.handle);
    probe.end = endOf(code);
    if (code != CURLE_OK) {
        probe.error = library()->easyStrerror(code);
        return probe;
    }
    long status = 0;
    library()->easyGetinfo(easy.handle, CURLINFO_RESPONSE_CODE, &status);
    probe.status = static_cast<int>(status);
    return probe;
}

}  // namespace platform
