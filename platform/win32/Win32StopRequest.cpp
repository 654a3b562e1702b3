#include <windows.h>

#include <atomic>

#include "platform/StopRequest.h"

namespace platform {
namespace {

std::atomic<bool> g_stopped{false};

// Auto-reset: one wake ends one wait, and a wake while nobody waits ends
// the next one.
HANDLE wakeEvent() {
    static const HANDLE event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}

// Runs on a thread the system makes for the event. Ctrl-C, Ctrl-Break, the
// console window's close and the end of the session all ask for a stop.
BOOL WINAPI onControl(DWORD /*event*/) {
    g_stopped = true;
    ::SetEvent(wakeEvent());
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

void StopRequest::wake() { ::SetEvent(wakeEvent()); }

}  // namespace platform
