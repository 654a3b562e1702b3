#include <windows.h>

#include <atomic>
#include <mutex>

#include "platform/StopRequest.h"
#include "platform/win32/Win32StopRequest.h"

namespace platform {
namespace {

std::atomic<bool> g_stopped{false};
std::atomic<DWORD> g_event{0};
std::atomic<const char*> g_serviceReason{nullptr};

std::mutex g_notifyMutex;
std::function<void()> g_notify;

// Auto-reset: one wake ends one wait, and a wake while nobody waits ends
// the next one.
HANDLE wakeEvent() {
    static const HANDLE event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}

void stopNow() {
    g_stopped = true;
    ::SetEvent(wakeEvent());
    std::lock_guard<std::mutex> lock(g_notifyMutex);
    if (g_notify) g_notify();
}

// Runs on a thread the system makes for the event. Ctrl-C, Ctrl-Break, the
// console window's close and the system's shutdown ask for a stop. A user's
// logoff does not: the system sends it to every console process, a
// supervisor run as a service or by a scheduled task included, and servers
// must not lose their supervisor because someone logged off. Handled, so
// that the system does not end this process for it either.
BOOL WINAPI onControl(DWORD event) {
    if (event == CTRL_LOGOFF_EVENT) return TRUE;
    g_event = event;
    stopNow();
    return TRUE;
}

}  // namespace

void StopRequest::install() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    wakeEvent();
    ::SetConsoleCtrlHandler(onControl, TRUE);
}

bool StopRequest::waitFor(int milliseconds) {
    if (g_stopped) return true;
    ::WaitForSingleObject(wakeEvent(), milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
    return g_stopped;
}

void StopRequest::pause(int milliseconds) {
    ::WaitForSingleObject(wakeEvent(), milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
}

void StopRequest::wake() { ::SetEvent(wakeEvent()); }

namespace win32stop {

void request(const char* reason) {
    g_serviceReason = reason;
    stopNow();
}

}  // namespace win32stop

std::string StopRequest::reason() {
    if (!g_stopped) return {};
    if (const char* service = g_serviceReason.load()) return service;
    switch (g_event.load()) {
        case CTRL_C_EVENT: return "Ctrl-C";
        case CTRL_BREAK_EVENT: return "Ctrl-Break";
        case CTRL_CLOSE_EVENT: return "console closed";
        case CTRL_LOGOFF_EVENT: return "logoff";
        case CTRL_SHUTDOWN_EVENT: return "system shutdown";
        default: return "console event " + std::to_string(g_event.load());
    }
}

bool StopRequest::takeReload() { return false; }

void StopRequest::watch(std::function<void()> notify) {
    std::lock_guard<std::mutex> lock(g_notifyMutex);
    g_notify = std::move(notify);
}

void StopRequest::unwatch() {
    std::lock_guard<std::mutex> lock(g_notifyMutex);
    g_notify = nullptr;
}

}  // namespace platform
