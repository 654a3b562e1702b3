#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/HttpClient.h"
#include "platform/System.h"
#include "platform/win32/Win32WideText.h"

namespace platform {

namespace {

struct InternetHandle {
    HINTERNET handle = nullptr;
    explicit InternetHandle(HINTERNET h) : handle(h) {}
    ~InternetHandle() {
        if (handle) ::WinHttpCloseHandle(handle);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
};

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

constexpr DWORD kSocketTimedOut = 10060;

std::string failure(const char* step) {
    const DWORD error = ::GetLastError();
    std::string text = std::string(step) + " failed: ";
    // Wine gives the socket's own error (WSAETIMEDOUT) for a wait that ran out.
    if (error == ERROR_WINHTTP_TIMEOUT || error == kSocketTimedOut) return text + "the server did not answer in time";
    if (error == ERROR_WINHTTP_SECURE_FAILURE) return text + "the server's certificate was refused";
    if (error == ERROR_WINHTTP_SECURE_INVALID_CA)
        return text + "the server's certificate is signed by an authority this system does not trust";
    if (error == ERROR_WINHTTP_SECURE_CERT_CN_INVALID) return text + "the server's certificate is for another name";
    if (error == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID)
        return text + "the server's certificate has expired or is not yet valid";
    // What some WinHTTPs (Wine's among them) give for any refused
    // certificate as well as for a TLS handshake that failed.
    if (error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR)
        return text + "no secure connection (a certificate that is not trusted or not for this host, or TLS failed)";
    if (error == ERROR_WINHTTP_CANNOT_CONNECT) return text + "the connection was refused";
    if (error == ERROR_WINHTTP_NAME_NOT_RESOLVED) return text + "the host name could not be resolved";
    return text + "error " + std::to_string(error);
}

// The request handle of one exchange, closed by whoever comes first: the
// exchange when it ends, or its watcher when the request is cancelled.
// Closing it from another thread is how WinHTTP ends a synchronous call
// that waits for a receiver which never answers.
class RequestHandle {
public:
    RequestHandle(HINTERNET handle, const std::atomic<bool>* cancel) : handle_(handle) {
        if (!cancel || !handle) return;
        watcher_ = std::thread([this, cancel] {
            std::unique_lock lock(mutex_);
            while (!finished_) {
                if (cancel->load()) {
                    cancelled_ = true;
                    close();
                    return;
                }
                ended_.wait_for(lock, std::chrono::milliseconds(50));
            }
        });
    }
    ~RequestHandle() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        ended_.notify_all();
        if (watcher_.joinable()) watcher_.join();
        close();
    }
    RequestHandle(const RequestHandle&) = delete;
    RequestHandle& operator=(const RequestHandle&) = delete;

    HINTERNET get() const { return handle_.load(); }
    bool cancelled() {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

private:
    void close() {
        if (HINTERNET handle = handle_.exchange(nullptr)) ::WinHttpCloseHandle(handle);
    }

    std::atomic<HINTERNET> handle_;
    std::mutex mutex_;
    std::condition_variable ended_;
    bool finished_ = false;
    bool cancelled_ = false;
    std::thread watcher_;
};

// The header lines of the answer, as WinHTTP keeps them.
void readHeaders(HINTERNET call, HttpResponse& response) {
    DWORD size = 0;
    ::WinHttpQueryHeaders(call, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                          &size, WINHTTP_NO_HEADER_INDEX);
    if (size == 0) return;
    std::wstring raw(size / sizeof(wchar_t) + 1, L'\0');
    if (!::WinHttpQueryHeaders(call, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, raw.data(), &size,
                               WINHTTP_NO_HEADER_INDEX))
        return;
    raw.resize(size / sizeof(wchar_t));
    const std::string text = utf8FromWide(raw);
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        addHeaderLine(response, text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

// One exchange, start to end, on the calling thread.
HttpResponse exchange(const HttpRequest& request) {
    HttpResponse response;
    auto trace = [&](const std::string& line) {
        if (request.trace) request.trace(maskSecrets(line, request.secrets));
    };

    // HTTPS_PROXY names the proxy the way the Linux build takes it; WinHTTP
    // wants it without its scheme, and NO_PROXY as its bypass list.
    std::string proxy = environment("HTTPS_PROXY");
    if (proxy.empty()) proxy = environment("https_proxy");
    if (const auto scheme = proxy.find("://"); scheme != std::string::npos) proxy.erase(0, scheme + 3);
    while (!proxy.empty() && proxy.back() == '/') proxy.pop_back();
    std::string bypass = environment("NO_PROXY");
    if (bypass.empty()) bypass = environment("no_proxy");
    for (char& c : bypass)
        if (c == ',') c = ';';
    const std::wstring proxyWide = wideText(proxy);
    const std::wstring bypassWide = wideText(bypass);
    InternetHandle session(::WinHttpOpen(L"Procward",
                                         proxy.empty() ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                                         proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxyWide.c_str(),
                                         proxy.empty() || bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : bypassWide.c_str(),
                                         0));
    if (!session.handle) {
        response.error = failure("WinHttpOpen");
        return response;
    }
    const int timeout = static_cast<int>(request.timeout.count());
    ::WinHttpSetTimeouts(session.handle, timeout, timeout, timeout, timeout);
    // The wait for the answer's head has a limit of its own, which the four
    // above leave alone (90 s by default; Wine waits on it alone, without
    // end): a service that takes the post and never answers must time out.
    DWORD headWait = static_cast<DWORD>(timeout);
    ::WinHttpSetOption(session.handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headWait, sizeof headWait);

    std::wstring url = wideText(request.url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        response.error = "not a URL: " + maskSecrets(request.url, request.secrets);
        return response;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    trace("* Connecting to " + request.url + (proxy.empty() ? "" : " through the proxy " + proxy));

    InternetHandle connection(::WinHttpConnect(session.handle, host.c_str(), parts.nPort, 0));
    if (!connection.handle) {
        response.error = failure("WinHttpConnect");
        return response;
    }
    RequestHandle call(::WinHttpOpenRequest(connection.handle, L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0),
                       request.cancel);
    if (!call.get()) {
        response.error = failure("WinHttpOpenRequest");
        return response;
    }
    std::string headerText;
    for (const std::string& header : request.headers) {
        headerText += header + "\r\n";
        trace("> " + header);
    }
    trace("> " + request.body);
    const std::wstring headersWide = wideText(headerText);
    if (!::WinHttpSendRequest(call.get(), headersWide.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headersWide.c_str(),
                              static_cast<DWORD>(-1L), const_cast<char*>(request.body.data()),
                              static_cast<DWORD>(request.body.size()), static_cast<DWORD>(request.body.size()), 0) ||
        !::WinHttpReceiveResponse(call.get(), nullptr)) {
        if (call.cancelled()) {
            response.error = "cancelled";
            response.cancelled = true;
        } else {
            response.error = failure("sending");
        }
        trace("* " + response.error);
        return response;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    readHeaders(call.get(), response);
    ::WinHttpQueryHeaders(call.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    for (;;) {
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(call.get(), &available) || available == 0) break;
        std::string chunk(available, '\0');
        DWORD read = 0;
        if (!::WinHttpReadData(call.get(), chunk.data(), available, &read) || read == 0) break;
        response.body.append(chunk.data(), read);
        if (response.body.size() > (1u << 20)) break;
        if (request.cancel && request.cancel->load()) break;
    }
    if (call.cancelled()) {
        response.error = "cancelled";
        response.cancelled = true;
        return response;
    }
    response.answered = true;
    response.status = static_cast<int>(status);
    trace("< HTTP " + std::to_string(response.status));
    trace("< " + response.body);
    return response;
}


// What an exchange run on a thread of its own shares with its caller. The
// thread keeps it alive, so a caller that has gone leaves nothing dangling.
struct SharedExchange {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;  // the caller has gone: no trace any more
    std::atomic<bool> cancel{false};
    HttpResponse response;
};

}  // namespace

HttpResponse httpPost(const HttpRequest& request) {
    if (!request.cancel) return exchange(request);
    // Closing the request handle ends a synchronous call on Windows, but
    // not every WinHTTP does so (Wine's waits for the receive time-out): the
    // exchange runs on a thread of its own, and a cancelled caller returns
    // at once, leaving that thread to end whenever its call does.
    auto shared = std::make_shared<SharedExchange>();
    HttpRequest own = request;
    own.cancel = &shared->cancel;
    own.trace = [shared, trace = request.trace](const std::string& line) {
        std::lock_guard lock(shared->mutex);
        if (!shared->abandoned && trace) trace(line);
    };
    std::thread([shared, own = std::move(own)] {
        HttpResponse response = exchange(own);
        std::lock_guard lock(shared->mutex);
        shared->response = std::move(response);
        shared->done = true;
        shared->finished.notify_all();
    }).detach();
    std::unique_lock lock(shared->mutex);
    while (!shared->finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return shared->done; })) {
        if (request.cancel->load()) {
            shared->abandoned = true;
            shared->cancel = true;
            HttpResponse cancelled;
            cancelled.error = "cancelled";
            cancelled.cancelled = true;
            return cancelled;
        }
    }
    return std::move(shared->response);
}

}  // namespace platform
