#include <cstdlib>

#include "platform/HttpClient.h"
#include "platform/linux/LinuxCurl.h"

namespace platform {

namespace {

struct Exchange {
    const HttpRequest* request;
    HttpResponse* response;
    std::string body;
};

// How often a waiting exchange looks at its cancel flag.
constexpr int kCancelCheckMs = 50;

void emit(Exchange& exchange, const char* prefix, const char* data, std::size_t size) {
    // Each line of what went by, with its direction; the lines of a body too.
    std::string text(data, size);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        exchange.request->trace(maskSecrets(prefix + line, exchange.request->secrets));
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

int traced(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
    auto& exchange = *static_cast<Exchange*>(user);
    switch (type) {
        case CURLINFO_TEXT: emit(exchange, "* ", data, size); break;
        case CURLINFO_HEADER_OUT: emit(exchange, "> ", data, size); break;
        case CURLINFO_DATA_OUT: emit(exchange, "> ", data, size); break;
        case CURLINFO_HEADER_IN: emit(exchange, "< ", data, size); break;
        case CURLINFO_DATA_IN: emit(exchange, "< ", data, size); break;
        default: break;  // TLS records
    }
    return 0;
}

std::size_t received(char* data, std::size_t size, std::size_t count, void* user) {
    auto& exchange = *static_cast<Exchange*>(user);
    // An answer is a short JSON object; anything beyond a megabyte is cut.
    constexpr std::size_t kMostKept = 1 << 20;
    const std::size_t bytes = size * count;
    if (exchange.body.size() < kMostKept) exchange.body.append(data, std::min(bytes, kMostKept - exchange.body.size()));
    return bytes;
}

std::size_t headerReceived(char* data, std::size_t size, std::size_t count, void* user) {
    auto& exchange = *static_cast<Exchange*>(user);
    addHeaderLine(*exchange.response, std::string(data, size * count));
    return size * count;
}

int progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto& exchange = *static_cast<Exchange*>(user);
    const std::atomic<bool>* cancel = exchange.request->cancel;
    return cancel && cancel->load() ? 1 : 0;
}

}  // namespace

HttpResponse httpPost(const HttpRequest& request) {
    HttpResponse response;
    const LinuxCurl* lib = LinuxCurl::get(response.error);
    if (!lib) return response;
    CURL* curl = lib->easyInit();
    if (!curl) {
        response.error = "the HTTP client could not be set up";
        return response;
    }
    Exchange exchange{&request, &response, {}};
    char errorBuffer[CURL_ERROR_SIZE] = {};
    curl_slist* headers = nullptr;
    for (const std::string& header : request.headers) headers = lib->slistAppend(headers, header.c_str());

    lib->easySetopt(curl, CURLOPT_URL, request.url.c_str());
    lib->easySetopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    lib->easySetopt(curl, CURLOPT_POST, 1L);
    lib->easySetopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    lib->easySetopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    lib->easySetopt(curl, CURLOPT_HTTPHEADER, headers);
    lib->easySetopt(curl, CURLOPT_USERAGENT, "Procward");
    lib->easySetopt(curl, CURLOPT_NOSIGNAL, 1L);
    lib->easySetopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    lib->easySetopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeout.count()));
    lib->easySetopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    lib->easySetopt(curl, CURLOPT_WRITEFUNCTION, received);
    lib->easySetopt(curl, CURLOPT_WRITEDATA, &exchange);
    lib->easySetopt(curl, CURLOPT_HEADERFUNCTION, headerReceived);
    lib->easySetopt(curl, CURLOPT_HEADERDATA, &exchange);
    lib->easySetopt(curl, CURLOPT_NOPROGRESS, 0L);
    lib->easySetopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
    lib->easySetopt(curl, CURLOPT_XFERINFODATA, &exchange);
    // The same trusted authorities as the mail's TLS: OpenSSL's variables
    // replace the system's file and directory, each on its own.
    lib->easySetopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    lib->easySetopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file) lib->easySetopt(curl, CURLOPT_CAINFO, file);
    if (const char* dir = std::getenv("SSL_CERT_DIR"); dir && *dir) lib->easySetopt(curl, CURLOPT_CAPATH, dir);
    if (request.trace) {
        lib->easySetopt(curl, CURLOPT_VERBOSE, 1L);
        lib->easySetopt(curl, CURLOPT_DEBUGFUNCTION, traced);
        lib->easySetopt(curl, CURLOPT_DEBUGDATA, &exchange);
    }
    // The proxy comes from HTTPS_PROXY (or https_proxy), HTTP_PROXY for
    // plain http, and NO_PROXY, which libcurl reads by itself.

    // Driven through a multi handle in short waits, so that a cancel ends a
    // post to a receiver that never answers at once, not at libcurl's next
    // progress call (up to a second later).
    CURLcode code = CURLE_OK;
    bool cancelled = false;
    CURLM* multi = lib->multiInit();
    if (!multi) {
        code = lib->easyPerform(curl);
    } else {
        lib->multiAddHandle(multi, curl);
        for (;;) {
            int running = 0;
            const CURLMcode step = lib->multiPerform(multi, &running);
            if (step != CURLM_OK) {
                code = CURLE_FAILED_INIT;
                break;
            }
            int left = 0;
            bool done = false;
            while (CURLMsg* message = lib->multiInfoRead(multi, &left)) {
                if (message->msg == CURLMSG_DONE) {
                    code = message->data.result;
                    done = true;
                }
            }
            if (done || running == 0) break;
            if (request.cancel && request.cancel->load()) {
                cancelled = true;
                break;
            }
            lib->multiPoll(multi, nullptr, 0, kCancelCheckMs, nullptr);
        }
        lib->multiRemoveHandle(multi, curl);
        lib->multiCleanup(multi);
    }
    if (cancelled || code == CURLE_ABORTED_BY_CALLBACK) {
        response.error = "cancelled";
        response.cancelled = true;
    } else if (code == CURLE_OK) {
        long status = 0;
        lib->easyGetinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        response.answered = true;
        response.status = static_cast<int>(status);
        response.body = std::move(exchange.body);
    } else {
        response.error = lib->easyStrerror(code);
        if (errorBuffer[0] != '\0') response.error += std::string(": ") + errorBuffer;
        response.error = maskSecrets(response.error, request.secrets);
    }
    lib->slistFreeAll(headers);
    lib->easyCleanup(curl);
    return response;
}

}  // namespace platform
