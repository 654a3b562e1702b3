#pragma once
#include <functional>
#include <string>

namespace platform {

// Lets a running supervisor end cleanly when the system or the operator
// asks it to stop (SIGINT, SIGTERM here; Ctrl-C, Ctrl-Break, the close of
// the console, the system's shutdown and a stop of the service on Windows,
// where a user's logoff is not a stop), and reload its files when asked to
// (SIGHUP here; Windows has no such request).
class StopRequest {
public:
    // Starts listening for these requests; call once.
    static void install();
    // Waits up to `milliseconds` (0 or less: only looks) or until wake is
    // called or a request comes; true once a stop was requested.
    static bool waitFor(int milliseconds);
    // Waits up to `milliseconds` or until wake is called, whether or not a
    // stop was requested: for the work that a stop itself still has to do
    // (the servers' own stops, when the supervisor is a container's init).
    static void pause(int milliseconds);
    // Ends a wait early, from any thread (a worker that has news for the
    // waiting thread). A wake that comes while nobody waits ends the next wait.
    static void wake();
    // What asked for the stop, by name ("SIGTERM", "SIGINT"; "Ctrl-C",
    // "Ctrl-Break", "console closed", "system shutdown", "service stop" on
    // Windows); empty while nothing did.
    static std::string reason();
    // True once for every reload requested since the last call (requests
    // that came close together count as one).
    static bool takeReload();
    // For a program whose thread waits elsewhere (a window's event loop)
    // instead of in waitFor: `notify` is called from a thread of its own
    // whenever a stop or a reload is requested, and must only get that
    // thread to look (reason, takeReload). Ended by unwatch.
    static void watch(std::function<void()> notify);
    static void unwatch();
};

}  // namespace platform
