#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

#include "platform/StopRequest.h"

namespace platform {
namespace {

// The signal handler writes a byte into this pipe: the wait polls its read
// end, so a signal ends the wait at once without blocking signals (a
// blocked mask would be passed on to the servers the supervisor launches).
int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_stopSignal = 0;
volatile sig_atomic_t g_reloads = 0;
sig_atomic_t g_reloadsTaken = 0;  // by the loop's thread only

// The thread of watch(), and the pipe that ends it.
std::mutex g_watchMutex;
std::thread g_watcher;
int g_watchEnd[2] = {-1, -1};

void onSignal(int signal) {
    const int saved = errno;
    if (signal == SIGHUP)
        g_reloads = g_reloads + 1;
    else
        g_stopSignal = signal;
    const char byte = 1;
    if (::write(g_pipe[1], &byte, 1) < 0) {
    }
    errno = saved;
}

void drain(int fd) {
    char buffer[64];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

}  // namespace

void StopRequest::install() {
    if (g_pipe[0] >= 0) return;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // A slow system call the signal interrupts goes on.
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    // The default of SIGHUP (a closed terminal, a reload by the service
    // manager) would end the supervisor without a word.
    ::sigaction(SIGHUP, &action, nullptr);
}

bool StopRequest::waitFor(int milliseconds) {
    if (g_stopSignal) return true;
    if (g_pipe[0] < 0) return false;
    pollfd fd{g_pipe[0], POLLIN, 0};
    const int n = ::poll(&fd, 1, milliseconds > 0 ? milliseconds : 0);
    if (n > 0) drain(g_pipe[0]);
    return g_stopSignal != 0;
}

void StopRequest::pause(int milliseconds) {
    if (g_pipe[0] < 0) return;
    pollfd fd{g_pipe[0], POLLIN, 0};
    if (::poll(&fd, 1, milliseconds > 0 ? milliseconds : 0) > 0) drain(g_pipe[0]);
}

void StopRequest::wake() {
    if (g_pipe[1] < 0) return;
    const char byte = 0;
    if (::write(g_pipe[1], &byte, 1) < 0) {
        // A full pipe already holds a wake.
    }
}

std::string StopRequest::reason() {
    switch (g_stopSignal) {
        case 0: return {};
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        default: return "signal " + std::to_string(g_stopSignal);
    }
}

bool StopRequest::takeReload() {
    const sig_atomic_t seen = g_reloads;
    if (seen == g_reloadsTaken) return false;
    g_reloadsTaken = seen;
    return true;
}

void StopRequest::watch(std::function<void()> notify) {
    std::lock_guard<std::mutex> lock(g_watchMutex);
    if (g_pipe[0] < 0 || g_watcher.joinable()) return;
    if (::pipe2(g_watchEnd, O_CLOEXEC | O_NONBLOCK) != 0) return;
    g_watcher = std::thread([notify = std::move(notify)] {
        for (;;) {
            pollfd fds[2] = {{g_pipe[0], POLLIN, 0}, {g_watchEnd[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
            if (fds[1].revents) return;
            if (fds[0].revents & POLLIN) {
                drain(g_pipe[0]);
                notify();
            }
        }
    });
}

void StopRequest::unwatch() {
    std::lock_guard<std::mutex> lock(g_watchMutex);
    if (!g_watcher.joinable()) return;
    const char byte = 0;
    if (::write(g_watchEnd[1], &byte, 1) < 0) {
    }
    g_watcher.join();
    for (int& fd : g_watchEnd) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace platform
