#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/StopRequest.h"

namespace platform {
namespace {

// The signal handler writes a byte into this pipe: the wait polls its read
// end, so a signal ends the wait at once without blocking signals (a
// blocked mask would be passed on to the servers the supervisor launches).
int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_stopped = 0;

void onStopSignal(int) {
    g_stopped = 1;
    const int saved = errno;
    const char byte = 1;
    if (::write(g_pipe[1], &byte, 1) < 0) {
    }
    errno = saved;
}

}  // namespace

void StopRequest::install() {
    if (g_pipe[0] >= 0) return;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool StopRequest::waitFor(int milliseconds) {
    if (g_stopped) return true;
    pollfd fd{g_pipe[0], POLLIN, 0};
    const int n = ::poll(&fd, 1, milliseconds > 0 ? milliseconds : 0);
    if (n > 0) {
        char buffer[64];
        while (::read(g_pipe[0], buffer, sizeof buffer) > 0) {
        }
    }
    return g_stopped != 0;
}

void StopRequest::wake() {
    if (g_pipe[1] < 0) return;
    const char byte = 0;
    if (::write(g_pipe[1], &byte, 1) < 0) {
        // A full pipe already holds a wake.
    }
}

}  // namespace platform
