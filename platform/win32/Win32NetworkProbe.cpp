#include "platform/NetworkProbe.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <mutex>

#include "platform/Text.h"
#include "platform/win32/Win32WideText.h"

namespace platform {

namespace {

// The socket library is started once, for the life of the program: probes
// run on worker threads at any time.
bool startWinsock() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

std::string systemText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result =
        n && text ? trimWhite(utf8FromWide(std::wstring_view(text, n))) : "error " + std::to_string(error);
    if (text) ::LocalFree(text);
    return result;
}

struct Internet {
    HINTERNET handle;
    explicit Internet(HINTERNET h) : handle(h) {}
    ~Internet() {
        if (handle) ::WinHttpCloseHandle(handle);
    }
    Internet(const Internet&) = delete;
    Internet& operator=(const Internet&) = delete;
};

HttpProbe failedHttp(DWORD error) {
    // Wine gives the socket's own error for a wait that ran out.
    if (error == WSAETIMEDOUT) error = ERROR_WINHTTP_TIMEOUT;
    HttpProbe probe;
    probe.end = error == ERROR_WINHTTP_TIMEOUT ? ProbeEnd::TimedOut : ProbeEnd::Failed;
    probe.error = error == ERROR_WINHTTP_TIMEOUT           ? "timed out"
                  : error == ERROR_WINHTTP_CANNOT_CONNECT ? "could not connect"
                  : error == ERROR_WINHTTP_CONNECTION_ERROR ? "connection reset"
                  : error == ERROR_WINHTTP_INVALID_SERVER_RESPONSE ? "not an HTTP answer"
                                                                   : "WinHTTP error " + std::to_string(error);
    return probe;
}

}  // namespace

ConnectProbe probeConnect(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit) {
    ConnectProbe probe;
    if (!startWinsock()) {
        probe.error = "the socket library cannot be started";
        return probe;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
        probe.error = "cannot resolve " + host;
        return probe;
    }
    SOCKET s = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (s == INVALID_SOCKET) {
        probe.error = systemText(static_cast<DWORD>(::WSAGetLastError()));
        ::freeaddrinfo(found);
        return probe;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    const int started = ::connect(s, found->ai_addr, static_cast<int>(found->ai_addrlen));
    ::freeaddrinfo(found);
    if (started == 0) {
        probe.end = ProbeEnd::Answered;
    } else if (::WSAGetLastError() != WSAEWOULDBLOCK) {
        probe.error = systemText(static_cast<DWORD>(::WSAGetLastError()));
    } else {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval wait{static_cast<long>(limit.count() / 1000), static_cast<long>((limit.count() % 1000) * 1000)};
        const int ready = ::select(0, nullptr, &writable, &failed, &wait);
        if (ready == 0) {
            probe.end = ProbeEnd::TimedOut;
            probe.error = "timed out";
        } else if (ready > 0 && FD_ISSET(s, &writable)) {
            probe.end = ProbeEnd::Answered;
        } else {
            int error = 0;
            int size = sizeof error;
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
            probe.error = systemText(static_cast<DWORD>(error ? error : ::WSAGetLastError()));
        }
    }
    ::closesocket(s);
    return probe;
}

HttpProbe probeHttp(const std::string& host, std::uint16_t port, const std::string& path,
                    std::chrono::milliseconds limit, std::size_t maxBody) {
    const int ms = static_cast<int>(limit.count() > 0 ? limit.count() : 1);
    Internet session(::WinHttpOpen(L"procward-health", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session.handle) return failedHttp(::GetLastError());
    ::WinHttpSetTimeouts(session.handle, ms, ms, ms, ms);
    // The wait for the answer's head has a limit of its own, which the four
    // above leave alone (90 s by default; Wine waits on it alone, without
    // end): a server that accepts and never answers must time out too.
    DWORD headWait = static_cast<DWORD>(ms);
    ::WinHttpSetOption(session.handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headWait, sizeof headWait);
    const std::string server = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    Internet connection(::WinHttpConnect(session.handle, wideText(server).c_str(), port, 0));
    if (!connection.handle) return failedHttp(::GetLastError());
    Internet request(::WinHttpOpenRequest(connection.handle, L"GET", wideText(path).c_str(), nullptr, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request.handle) return failedHttp(::GetLastError());
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    ::WinHttpSetOption(request.handle, WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof noRedirects);
    if (!::WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.handle, nullptr))
        return failedHttp(::GetLastError());
    HttpProbe probe;
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return failedHttp(::GetLastError());
    probe.status = static_cast<int>(status);
    char buffer[4096];
    for (;;) {
        DWORD read = 0;
        if (!::WinHttpReadData(request.handle, buffer, sizeof buffer, &read)) return failedHttp(::GetLastError());
        if (read == 0) break;
        if (probe.body.size() < maxBody)
            probe.body.append(buffer, std::min<std::size_t>(read, maxBody - probe.body.size()));
    }
    probe.end = ProbeEnd::Answered;
    return probe;
}

}  // namespace platform
