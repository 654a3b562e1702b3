#pragma once

namespace platform {

// Lets a program without a window end cleanly when the system or the
// operator asks it to stop (SIGINT, SIGTERM here).
class StopRequest {
public:
    // Starts listening for stop requests; call once.
    static void install();
    // Waits up to `milliseconds` (0 or less: only looks) or until wake is
    // called; true once a stop was requested.
    static bool waitFor(int milliseconds);
    // Ends a wait early, from any thread (a worker that has news for the
    // waiting thread). A wake that comes while nobody waits ends the next wait.
    static void wake();
};

}  // namespace platform
