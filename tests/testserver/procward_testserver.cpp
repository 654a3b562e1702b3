// A stand-in server for tests and the demo. It accepts any arguments; those
// it knows:
//   --listen ADDR:PORT    listen on an IPv4 TCP address (repeatable)
//   --listen6 PORT        listen on [::1]:PORT only (IPv6)
//   --connect ADDR:PORT   open and keep one outgoing IPv4 connection
//   --listen-on-signal ADDR:PORT   listen there once SIGUSR1 arrives
//   --listen-after MS ADDR:PORT    listen there MS milliseconds after the start
//   --exit-after MS       exit with status 3 after MS milliseconds
//   --exit-if FILE        exit at once with status 3 while FILE exists
//   --exit-main-thread    end the main thread, another thread runs on
//   --set-title TEXT      rewrite its argument list to TEXT, as setproctitle does
//   --on-term FILE        on SIGTERM write FILE (its state), then exit 0
//   --term-delay MS       on SIGTERM take MS milliseconds before exiting
//   --ignore-term         ignore SIGTERM
// Once every socket is set up it writes its process ID into the file named by
// the environment variable PROCWARD_READY_FILE, when that is set (arguments
// are left alone so that the command line is exactly what the test chose).
// It then runs until it is killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool splitAddress(const std::string& text, sockaddr_in& address) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(text.c_str() + colon + 1)));
    return inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) == 1;
}

volatile sig_atomic_t g_signalled = 0;
volatile sig_atomic_t g_terminated = 0;
void onUser1(int) { g_signalled = 1; }
void onTerm(int) { g_terminated = 1; }

int listenOn(const std::string& text);

[[noreturn]] void fail(const std::string& what) {
    std::perror(what.c_str());
    std::exit(2);
}

int listenOn(const std::string& text) {
    sockaddr_in address{};
    if (!splitAddress(text, address)) fail("bad listen address " + text);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0)
        fail("listen " + text);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sockets;
    std::string later;
    struct sigaction action {};
    action.sa_handler = onUser1;
    sigaction(SIGUSR1, &action, nullptr);
    // SIGUSR1 is taken only while waiting, so none is missed.
    sigset_t user1, waiting;
    sigemptyset(&user1);
    sigaddset(&user1, SIGUSR1);
    // SIGTERM too, until it is known whether it is to be handled: threads
    // started meanwhile must never take it.
    sigaddset(&user1, SIGTERM);
    sigprocmask(SIG_BLOCK, &user1, &waiting);
    sigdelset(&waiting, SIGUSR1);
    std::string termFile, title;
    int termDelay = 0, exitAfter = -1;
    bool exitMainThread = false;
    const char* readyFile = std::getenv("PROCWARD_READY_FILE");
    const std::string ready = readyFile ? readyFile : "";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--listen" && hasValue) {
            sockets.push_back(listenOn(argv[++i]));
        } else if (arg == "--listen-after" && i + 2 < argc) {
            const int ms = std::atoi(argv[++i]);
            const std::string address = argv[++i];
            std::thread([ms, address] {
                std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                listenOn(address);
            }).detach();
        } else if (arg == "--exit-after" && hasValue) {
            exitAfter = std::atoi(argv[++i]);
        } else if (arg == "--exit-if" && hasValue) {
            if (access(argv[++i], F_OK) == 0) std::_Exit(3);
        } else if (arg == "--exit-main-thread") {
            exitMainThread = true;
        } else if (arg == "--set-title" && hasValue) {
            title = argv[++i];
        } else if (arg == "--on-term" && hasValue) {
            termFile = argv[++i];
        } else if (arg == "--term-delay" && hasValue) {
            termDelay = std::atoi(argv[++i]);
        } else if (arg == "--ignore-term") {
            std::signal(SIGTERM, SIG_IGN);
        } else if (arg == "--listen-on-signal" && hasValue) {
            later = argv[++i];
        } else if (arg == "--listen6" && hasValue) {
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_port = htons(static_cast<uint16_t>(std::atoi(argv[++i])));
            address.sin6_addr = in6addr_loopback;
            const int fd = socket(AF_INET6, SOCK_STREAM, 0);
            const int on = 1;
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0)
                fail("listen6");
            sockets.push_back(fd);
        } else if (arg == "--connect" && hasValue) {
            sockaddr_in address{};
            if (!splitAddress(argv[++i], address)) fail("bad --connect address");
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("connect");
            sockets.push_back(fd);
        }
    }
    if (!termFile.empty() || termDelay > 0) {
        struct sigaction term {};
        term.sa_handler = onTerm;
        sigaction(SIGTERM, &term, nullptr);
        sigdelset(&waiting, SIGTERM);
    } else {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        sigprocmask(SIG_UNBLOCK, &term, nullptr);
        sigdelset(&waiting, SIGTERM);
    }
    if (exitAfter >= 0)
        std::thread([exitAfter] {
            std::this_thread::sleep_for(std::chrono::milliseconds(exitAfter));
            std::_Exit(3);
        }).detach();
    if (!title.empty()) {
        // The argument strings lie one after the other: overwrite them all.
        char* begin = argv[0];
        char* end = argv[argc - 1] + std::strlen(argv[argc - 1]);
        std::memset(begin, 0, static_cast<std::size_t>(end - begin));
        std::strncpy(begin, title.c_str(), static_cast<std::size_t>(end - begin));
    }
    if (!ready.empty()) {
        const std::string temporary = ready + ".tmp";
        if (FILE* f = std::fopen(temporary.c_str(), "w")) {
            std::fprintf(f, "%d\n", static_cast<int>(getpid()));
            std::fclose(f);
            std::rename(temporary.c_str(), ready.c_str());
        }
    }
    auto serve = [=]() mutable {
    for (;;) {
        sigsuspend(&waiting);
        if (g_terminated) {
            if (termDelay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(termDelay));
            if (!termFile.empty())
                if (FILE* f = std::fopen(termFile.c_str(), "w")) {
                    std::fputs("saved\n", f);
                    std::fclose(f);
                }
            std::exit(0);
        }
        if (g_signalled && !later.empty()) {
            sockets.push_back(listenOn(later));
            later.clear();
        }
    }
    };
    if (exitMainThread) {
        // The process lives on in another thread; the main thread stays a
        // zombie without an executable or arguments of its own.
        std::thread(serve).detach();
        pthread_exit(nullptr);
    }
    serve();
}
