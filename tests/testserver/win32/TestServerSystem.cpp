#include "../TestServerSystem.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace testserver {
namespace {

enum class StopMode { Default, Handled, Ignored };
std::atomic<StopMode> g_stopMode{StopMode::Default};
std::atomic<bool> g_settled{false};
HANDLE g_stopEvent = nullptr;    // set by a stop request when handled
HANDLE g_listenEvent = nullptr;  // named: set by the tests

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "%s: error %d\n", what.c_str(), WSAGetLastError());
    std::exit(2);
}

bool splitAddress(const std::string& text, sockaddr_in& address) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(text.c_str() + colon + 1)));
    return inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) == 1;
}

bool splitAddress6(const std::string& text, sockaddr_in6& address) {
    const auto bracket = text.find("]:");
    if (text.empty() || text[0] != '[' || bracket == std::string::npos) return false;
    address = {};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<u_short>(std::atoi(text.c_str() + bracket + 2)));
    return inet_pton(AF_INET6, text.substr(1, bracket - 1).c_str(), &address.sin6_addr) == 1;
}

Socket listenOn6(const std::string& text) {
    sockaddr_in6 address{};
    if (!splitAddress6(text, address)) fail("bad listen address " + text);
    const SOCKET s = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    const BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    // An IPv4-mapped address is reached over IPv4: it needs both sides.
    const DWORD v6only = IN6_IS_ADDR_V4MAPPED(&address.sin6_addr) ? 0 : 1;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6only), sizeof v6only);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 16) != 0)
        fail("listen " + text);
    return static_cast<Socket>(s);
}

// Called on a thread of its own for each console event. A request that
// comes before the options are read is held until they are.
BOOL WINAPI onControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    while (!g_settled) ::Sleep(1);
    switch (g_stopMode.load()) {
        case StopMode::Ignored:
            return TRUE;
        case StopMode::Handled:
            ::SetEvent(g_stopEvent);
            // A closing console ends the process once this returns.
            if (event == CTRL_CLOSE_EVENT) ::Sleep(INFINITE);
            return TRUE;
        case StopMode::Default:
            break;
    }
    ::ExitProcess(STATUS_CONTROL_C_EXIT);
}

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_CLOSE) {
        // The window comes up while the options are read: a close that
        // comes before they are is held until they are, as a console event.
        while (!g_settled) ::Sleep(1);
        if (g_stopMode == StopMode::Ignored) return 0;
        if (g_stopMode == StopMode::Handled) {
            ::SetEvent(g_stopEvent);
            return 0;
        }
        ::ExitProcess(0);
    }
    return ::DefWindowProcA(window, message, w, l);
}

}  // namespace

void prepare() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    g_stopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_listenEvent = ::CreateEventA(nullptr, FALSE, FALSE, listenEventName(processId()).c_str());
    ::SetConsoleCtrlHandler(onControl, TRUE);
}

Socket listenOn(const std::string& text) {
    if (!text.empty() && text[0] == '[') return listenOn6(text);
    sockaddr_in address{};
    if (!splitAddress(text, address)) fail("bad listen address " + text);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    // Two listeners on one port must fail, as they do elsewhere.
    const BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 16) != 0)
        fail("listen " + text);
    return static_cast<Socket>(s);
}

Socket listen6(int port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<u_short>(port));
    address.sin6_addr = in6addr_loopback;
    const SOCKET s = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    const DWORD on = 1;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 16) != 0) fail("listen6");
    return static_cast<Socket>(s);
}

Socket connectTo(const std::string& text) {
    sockaddr_in address{};
    if (!splitAddress(text, address)) fail("bad --connect address");
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("connect");
    return static_cast<Socket>(s);
}

void closeSocket(Socket socket) { closesocket(static_cast<SOCKET>(socket)); }

Socket acceptOn(Socket listener) {
    const SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<Socket>(s);
}

long receiveSome(Socket socket, char* bytes, std::size_t size) {
    return recv(static_cast<SOCKET>(socket), bytes, static_cast<int>(size), 0);
}

bool sendAll(Socket socket, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const int n = send(static_cast<SOCKET>(socket), text.data() + sent, static_cast<int>(text.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void holdConnections(int count, std::vector<Socket>& sockets) {
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 64) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        fail("hold-connections listener");
    for (int i = 0; i < count; ++i) {
        const SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (client == INVALID_SOCKET || connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fail("hold-connections connect");
        const SOCKET served = accept(listener, nullptr, nullptr);
        if (served == INVALID_SOCKET) fail("hold-connections accept");
        sockets.push_back(static_cast<Socket>(client));
        sockets.push_back(static_cast<Socket>(served));
    }
    closesocket(listener);
}

bool forkKeeper(const std::string&) {
    std::fputs("no fork on this system\n", stderr);
    std::exit(2);
}

void ignoreStop() { g_stopMode = StopMode::Ignored; }

void settleStopHandling(bool handled) {
    if (handled && g_stopMode != StopMode::Ignored) g_stopMode = StopMode::Handled;
    g_settled = true;
}

bool openWindow() {
    std::atomic<int> made{0};
    std::thread([&made] {
        WNDCLASSA type{};
        type.lpfnWndProc = windowProcedure;
        type.hInstance = ::GetModuleHandleA(nullptr);
        type.lpszClassName = "ProcwardTestServerWindow";
        ::RegisterClassA(&type);
        HWND window = ::CreateWindowExA(0, type.lpszClassName, "procward test server", WS_OVERLAPPEDWINDOW, 0, 0,
                                        100, 100, nullptr, nullptr, type.hInstance, nullptr);
        made = window ? 1 : -1;
        MSG message;
        while (window && ::GetMessageA(&message, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
    }).detach();
    while (made == 0) ::Sleep(1);
    return made == 1;
}

int processId() { return static_cast<int>(::GetCurrentProcessId()); }

std::vector<std::string> environment() {
    std::vector<std::string> entries;
    char* block = ::GetEnvironmentStringsA();
    if (!block) return entries;
    for (const char* entry = block; *entry; entry += std::strlen(entry) + 1) entries.emplace_back(entry);
    ::FreeEnvironmentStringsA(block);
    return entries;
}

bool setTitle(int, char**, const std::string&) { return false; }

Event waitForEvent() {
    const HANDLE events[2] = {g_stopEvent, g_listenEvent};
    for (;;) {
        const DWORD which = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (which == WAIT_OBJECT_0) return Event::Stop;
        if (which == WAIT_OBJECT_0 + 1) return Event::Listen;
    }
}

std::string listenEventName(int pid) { return "Local\\procward_testserver_listen_" + std::to_string(pid); }

void endMainThread(std::function<void()> serve) {
    // The process lives on in the other thread.
    std::thread(std::move(serve)).detach();
    ::ExitThread(0);
}

unsigned codePage() { return ::GetACP(); }

}  // namespace testserver
