#pragma once

namespace platform {

// Lets a program without a window end cleanly when the system or the
// operator asks it to stop (SIGINT, SIGTERM here).
class StopRequest {
public:
    // Starts listening for stop requests; call once.
    static void install();
    // Waits up to `milliseconds` (0 or less: only looks); true once a stop
    // was requested.
    static bool waitFor(int milliseconds);
};

}  // namespace platform
