#include "../TestServerSystem.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
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

bool splitAddress6(const std::string& text, sockaddr_in6& address) {
    const auto bracket = text.find("]:");
    if (text.empty() || text[0] != '[' || bracket == std::string::npos) return false;
    address = {};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(std::atoi(text.c_str() + bracket + 2)));
    return inet_pton(AF_INET6, text.substr(1, bracket - 1).c_str(), &address.sin6_addr) == 1;
}

Socket listenOn6(const std::string& text) {
    sockaddr_in6 address{};
    if (!splitAddress6(text, address)) fail("bad listen address " + text);
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // An IPv4-mapped address is reached over IPv4: it needs both sides.
    const int v6only = IN6_IS_ADDR_V4MAPPED(&address.sin6_addr) ? 0 : 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0)
        fail("listen " + text);
    return fd;
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
    if (!text.empty() && text[0] == '[') return listenOn6(text);
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

void closeSocket(Socket socket) { close(static_cast<int>(socket)); }

Socket acceptOn(Socket listener) { return accept(static_cast<int>(listener), nullptr, nullptr); }

long receiveSome(Socket socket, char* bytes, std::size_t size) {
    return static_cast<long>(recv(static_cast<int>(socket), bytes, size, 0));
}

bool sendAll(Socket socket, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(static_cast<int>(socket), text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void holdConnections(int count, std::vector<Socket>& sockets) {
    // Each connection costs two descriptors.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 64) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        fail("hold-connections listener");
    for (int i = 0; i < count; ++i) {
        const int client = socket(AF_INET, SOCK_STREAM, 0);
        if (client < 0 || connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fail("hold-connections connect");
        const int served = accept(listener, nullptr, nullptr);
        if (served < 0) fail("hold-connections accept");
        sockets.push_back(client);
        sockets.push_back(served);
    }
    close(listener);
}

bool forkKeeper(const std::string& pidFile) {
    const pid_t child = fork();
    if (child < 0) fail("fork");
    if (child > 0) {
        // The parent goes on once the child has said who it is.
        for (int i = 0; i < 10000 && access(pidFile.c_str(), F_OK) != 0; ++i) usleep(1000);
        return false;
    }
    const std::string temporary = pidFile + ".tmp";
    if (FILE* f = std::fopen(temporary.c_str(), "w")) {
        std::fprintf(f, "%d\n", static_cast<int>(getpid()));
        std::fclose(f);
        std::rename(temporary.c_str(), pidFile.c_str());
    }
    return true;
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

unsigned codePage() { return 65001; }

}  // namespace testserver
