#include "../TestServerSystem.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace testserver {
namespace {

volatile sig_atomic_t g_signalled = 0;
volatile sig_atomic_t g_terminated = 0;
void onUser1(int) { g_signalled = 1; }
void onTerm(int) { g_terminated = 1; }

// The mask sigsuspend waits with: everything the program blocked, less
// the signals it waits for.
sigset_t g_waiting;

[[noreturn]] void fail(const std::string& what) {
    std::perror(what.c_str());
    std::exit(2);
}

bool splitAddress(const std::string& text, sockaddr_in& address) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(text.c_str() + colon + 1)));
    return inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) == 1;
}

}  // namespace

void prepare() {
    struct sigaction action {};
    action.sa_handler = onUser1;
    sigaction(SIGUSR1, &action, nullptr);
    // SIGUSR1 is taken only while waiting, so none is missed. SIGTERM too,
    // until it is known whether it is to be handled: threads started
    // meanwhile must never take it.
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGUSR1);
    sigaddset(&held, SIGTERM);
    sigprocmask(SIG_BLOCK, &held, &g_waiting);
    sigdelset(&g_waiting, SIGUSR1);
}

Socket listenOn(const std::string& text) {
    sockaddr_in address{};
    if (!splitAddress(text, address)) fail("bad listen address " + text);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0)
        fail("listen " + text);
    return fd;
}

Socket listen6(int port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    address.sin6_addr = in6addr_loopback;
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0)
        fail("listen6");
    return fd;
}

Socket connectTo(const std::string& text) {
    sockaddr_in address{};
    if (!splitAddress(text, address)) fail("bad --connect address");
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("connect");
    return fd;
}

void ignoreStop() { std::signal(SIGTERM, SIG_IGN); }

void settleStopHandling(bool handled) {
    if (handled) {
        struct sigaction term {};
        term.sa_handler = onTerm;
        sigaction(SIGTERM, &term, nullptr);
    } else {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        sigprocmask(SIG_UNBLOCK, &term, nullptr);
    }
    sigdelset(&g_waiting, SIGTERM);
}

bool openWindow() { return false; }

int processId() { return static_cast<int>(getpid()); }

std::vector<std::string> environment() {
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) entries.emplace_back(*entry);
    return entries;
}

bool setTitle(int argc, char** argv, const std::string& title) {
    // The argument strings lie one after the other: overwrite them all.
    char* begin = argv[0];
    char* end = argv[argc - 1] + std::strlen(argv[argc - 1]);
    std::memset(begin, 0, static_cast<std::size_t>(end - begin));
    std::strncpy(begin, title.c_str(), static_cast<std::size_t>(end - begin));
    return true;
}

Event waitForEvent() {
    for (;;) {
        sigsuspend(&g_waiting);
        if (g_terminated) return Event::Stop;
        if (g_signalled) {
            g_signalled = 0;
            return Event::Listen;
        }
    }
}

std::string listenEventName(int) { return {}; }

void endMainThread(std::function<void()> serve) {
    // The process lives on in another thread; the main thread stays a
    // zombie without an executable or arguments of its own.
    std::thread(std::move(serve)).detach();
    pthread_exit(nullptr);
}

}  // namespace testserver
