// A stand-in server for tests and the demo. It accepts any arguments; those
// it knows:
//   --listen ADDR:PORT    listen on an IPv4 TCP address (repeatable);
//                         [ADDR6]:PORT for an IPv6 one, such as [::1]:8000
//   --listen6 PORT        listen on [::1]:PORT only (IPv6)
//   --connect ADDR:PORT   open and keep one outgoing IPv4 connection
//   --hold-connections N  open N loopback connections to itself and keep
//                         both ends of each (2 * N established sockets)
//   --listen-on-signal ADDR:PORT   listen there once SIGUSR1 arrives
//   --close-on-signal     with --listen-on-signal: close every listener
//                         opened before, so that only the new one remains
//   --fork-keeper FILE    once set up, fork a child that keeps every socket
//                         and runs on as the parent does; its process ID
//                         goes into FILE (it outlives the parent: whoever
//                         started the parent ends it)
//   --parent-exits        with --fork-keeper: the parent exits once the
//                         child runs, as a daemon does (the child stays)
//   --listen-after MS ADDR:PORT    listen there MS milliseconds after the start
//   --exit-after MS       exit with status 3 after MS milliseconds
//   --exit-if FILE        exit at once with status 3 while FILE exists
//   --exit-main-thread    end the main thread, another thread runs on
//   --set-title TEXT      rewrite its argument list to TEXT, as setproctitle does
//   --on-term FILE        on SIGTERM write FILE (its state), then exit 0
//   --term-delay MS       on SIGTERM take MS milliseconds before exiting
//   --ignore-term         ignore SIGTERM
//   --window              open a hidden window that takes WM_CLOSE as SIGTERM (Windows)
//   --say TEXT            write "TEXT (stdout)" on standard output and
//                         "TEXT (stderr)" on standard error, each a line
//   --print-cwd           write "cwd=DIR", the working directory, on standard output
//   --print-env           write each environment variable, "NAME=VALUE", on standard output
//   --print-code-page     write "code page N", the system's 8-bit code page, on standard output
//   --count-lines MS N    from then on write N numbered lines ("count 00000001
//                         " and 80 dots) on standard output every MS ms
//   --write-rate MB       from then on write numbered lines (as --count-lines)
//                         at MB megabytes a second, in 64 KB writes
//   --http ADDR:PORT      answer every request on ADDR:PORT (IPv4) with an
//                         HTTP answer: status 200 and the body "OK" unless
//                         told otherwise by the next three
//   --http-status N       the status of every answer
//   --http-status-file FILE   the status written in FILE, read at each
//                         request (the test changes it while the server runs)
//   --http-delay MS       wait MS milliseconds before each answer
//   --http-keep-alive N   answer request after request on one connection
//                         (HTTP/1.1 keep-alive) instead of closing it after
//                         the first answer; after N answers (0: no limit) the
//                         connection is closed without a word, as a server
//                         does whose idle connections time out
//   --http-connections FILE   write the number of connections accepted so
//                         far into FILE at each one
//   --grow MB             take MB more megabytes of memory (touched, so
//                         resident) every 100 ms, up to 4 GB
//   --spin                keep one processor busy (a thread that never waits)
//   --exit-code N         exit at once with code N (decimal, or 0x... for the
//                         whole 32 bits Windows gives an exit code)
// Options take effect in their order, so output comes before an --exit-code
// that follows it.
// On Windows a Ctrl-Break, Ctrl-C or WM_CLOSE stands for SIGTERM, and the
// event named by testserver::listenEventName for SIGUSR1.
// Once every socket is set up it writes its process ID into the file named by
// the environment variable PROCWARD_READY_FILE, when that is set (arguments
// are left alone so that the command line is exactly what the test chose).
// It then runs until it is killed.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TestServerSystem.h"

namespace {

struct HttpAnswers {
    int status = 200;
    std::string statusFile;
    int delayMs = 0;
    bool keepAlive = false;
    int answersPerConnection = 0;  // kept alive: 0 = no limit
    std::string connectionsFile;
};

const char* reasonOf(int status) {
    switch (status) {
        case 200: return "OK";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

// One connection: a request's head is read (its content is of no
// interest), then one answer; kept alive, the next request follows on the
// same connection until the client closes it, else the connection is closed.
void answerOne(testserver::Socket connection, HttpAnswers answers) {
    std::string head;
    char buffer[1024];
    for (int answered = 1;; ++answered) {
        std::size_t end;
        while ((end = head.find("\r\n\r\n")) == std::string::npos && head.size() < 16384) {
            const long n = testserver::receiveSome(connection, buffer, sizeof buffer);
            if (n <= 0) break;
            head.append(buffer, static_cast<std::size_t>(n));
        }
        if (end == std::string::npos && answers.keepAlive) break;  // the client went
        head.erase(0, end == std::string::npos ? head.size() : end + 4);
        int status = answers.status;
        if (!answers.statusFile.empty()) {
            std::ifstream in(answers.statusFile);
            int fromFile = 0;
            if (in >> fromFile) status = fromFile;
        }
        if (answers.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(answers.delayMs));
        const std::string body = status < 400 ? "OK\n" : "not well\n";
        if (!testserver::sendAll(connection,
                                 "HTTP/1.1 " + std::to_string(status) + " " + reasonOf(status) +
                                     "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                                     (answers.keepAlive ? "\r\n\r\n" : "\r\nConnection: close\r\n\r\n") + body) ||
            !answers.keepAlive || answered == answers.answersPerConnection)
            break;
    }
    testserver::closeSocket(connection);
}

void serveHttp(testserver::Socket listener, HttpAnswers answers) {
    for (long accepted = 1;; ++accepted) {
        const testserver::Socket connection = testserver::acceptOn(listener);
        if (connection == -1) continue;
        if (!answers.connectionsFile.empty()) {
            const std::string temporary = answers.connectionsFile + ".tmp";
            if (FILE* f = std::fopen(temporary.c_str(), "w")) {
                std::fprintf(f, "%ld\n", accepted);
                std::fclose(f);
                std::remove(answers.connectionsFile.c_str());
                std::rename(temporary.c_str(), answers.connectionsFile.c_str());
            }
        }
        std::thread(answerOne, connection, answers).detach();
    }
}

void grow(int mbPerStep) {
    std::size_t total = 0;
    const std::size_t step = static_cast<std::size_t>(mbPerStep) * 1024 * 1024;
    while (total + step <= std::size_t{4096} * 1024 * 1024) {
        char* block = static_cast<char*>(std::malloc(step));
        if (!block) return;
        std::memset(block, 1, step);  // touched: resident, not just reserved
        total += step;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace

int main(int argc, char** argv) {
    testserver::prepare();
    std::vector<testserver::Socket> sockets;
    std::vector<testserver::Socket> connections;
    std::string later, keeperFile;
    bool closeOnSignal = false, parentExits = false;
    std::string termFile, title;
    int termDelay = 0, exitAfter = -1;
    bool exitMainThread = false;
    std::vector<testserver::Socket> httpListeners;
    HttpAnswers answers;
    int growMb = 0;
    const char* readyFile = std::getenv("PROCWARD_READY_FILE");
    const std::string ready = readyFile ? readyFile : "";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--listen" && hasValue) {
            sockets.push_back(testserver::listenOn(argv[++i]));
        } else if (arg == "--listen-after" && i + 2 < argc) {
            const int ms = std::atoi(argv[++i]);
            const std::string address = argv[++i];
            std::thread([ms, address] {
                std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                testserver::listenOn(address);
            }).detach();
        } else if (arg == "--http" && hasValue) {
            httpListeners.push_back(testserver::listenOn(argv[++i]));
        } else if (arg == "--http-keep-alive" && hasValue) {
            answers.keepAlive = true;
            answers.answersPerConnection = std::atoi(argv[++i]);
        } else if (arg == "--http-connections" && hasValue) {
            answers.connectionsFile = argv[++i];
        } else if (arg == "--http-status" && hasValue) {
            answers.status = std::atoi(argv[++i]);
        } else if (arg == "--http-status-file" && hasValue) {
            answers.statusFile = argv[++i];
        } else if (arg == "--http-delay" && hasValue) {
            answers.delayMs = std::atoi(argv[++i]);
        } else if (arg == "--spin") {
            std::thread([] {
                volatile unsigned long long turns = 0;
                for (;;) turns = turns + 1;
            }).detach();
        } else if (arg == "--grow" && hasValue) {
            growMb = std::atoi(argv[++i]);
        } else if (arg == "--exit-after" && hasValue) {
            exitAfter = std::atoi(argv[++i]);
        } else if (arg == "--exit-if" && hasValue) {
            std::error_code error;
            if (std::filesystem::exists(argv[++i], error)) std::_Exit(3);
        } else if (arg == "--exit-main-thread") {
            exitMainThread = true;
        } else if (arg == "--set-title" && hasValue) {
            title = argv[++i];
        } else if (arg == "--on-term" && hasValue) {
            termFile = argv[++i];
        } else if (arg == "--term-delay" && hasValue) {
            termDelay = std::atoi(argv[++i]);
        } else if (arg == "--ignore-term") {
            testserver::ignoreStop();
        } else if (arg == "--listen-on-signal" && hasValue) {
            later = argv[++i];
        } else if (arg == "--listen6" && hasValue) {
            sockets.push_back(testserver::listen6(std::atoi(argv[++i])));
        } else if (arg == "--connect" && hasValue) {
            connections.push_back(testserver::connectTo(argv[++i]));
        } else if (arg == "--say" && hasValue) {
            const std::string text = argv[++i];
            std::fprintf(stdout, "%s (stdout)\n", text.c_str());
            std::fflush(stdout);
            std::fprintf(stderr, "%s (stderr)\n", text.c_str());
            std::fflush(stderr);
        } else if (arg == "--count-lines" && i + 2 < argc) {
            const int ms = std::atoi(argv[++i]);
            const int lines = std::atoi(argv[++i]);
            std::thread([ms, lines] {
                const std::string dots(80, '.');
                for (unsigned long long n = 1;;) {
                    std::string batch;
                    for (int k = 0; k < lines; ++k, ++n) {
                        char head[32];
                        std::snprintf(head, sizeof head, "count %08llu ", n);
                        batch += head + dots + "\n";
                    }
                    std::fwrite(batch.data(), 1, batch.size(), stdout);
                    std::fflush(stdout);
                    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                }
            }).detach();
        } else if (arg == "--write-rate" && i + 1 < argc) {
            const double rate = std::atof(argv[++i]) * 1024 * 1024;
            std::thread([rate] {
                const std::string dots(80, '.');
                const auto start = std::chrono::steady_clock::now();
                double written = 0;
                for (unsigned long long n = 1;;) {
                    std::string batch;
                    while (batch.size() + 96 <= 64 * 1024) {
                        char head[32];
                        std::snprintf(head, sizeof head, "count %08llu ", n++);
                        batch += head + dots + "\n";
                    }
                    std::fwrite(batch.data(), 1, batch.size(), stdout);
                    std::fflush(stdout);
                    written += static_cast<double>(batch.size());
                    // Paced by the clock, so a slow moment is made up.
                    const auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                 std::chrono::duration<double>(written / rate));
                    std::this_thread::sleep_until(due);
                }
            }).detach();
        } else if (arg == "--print-cwd") {
            std::error_code error;
            std::fprintf(stdout, "cwd=%s\n", std::filesystem::current_path(error).string().c_str());
            std::fflush(stdout);
        } else if (arg == "--print-code-page") {
            std::fprintf(stdout, "code page %u\n", testserver::codePage());
            std::fflush(stdout);
        } else if (arg == "--print-env") {
            for (const std::string& entry : testserver::environment()) std::fprintf(stdout, "%s\n", entry.c_str());
            std::fflush(stdout);
        } else if (arg == "--exit-code" && hasValue) {
            std::exit(static_cast<int>(std::strtoul(argv[++i], nullptr, 0)));
        } else if (arg == "--hold-connections" && hasValue) {
            testserver::holdConnections(std::atoi(argv[++i]), connections);
        } else if (arg == "--close-on-signal") {
            closeOnSignal = true;
        } else if (arg == "--fork-keeper" && hasValue) {
            keeperFile = argv[++i];
        } else if (arg == "--parent-exits") {
            parentExits = true;
        } else if (arg == "--window") {
            if (!testserver::openWindow()) {
                std::fputs("no window\n", stderr);
                return 2;
            }
        }
    }
    testserver::settleStopHandling(!termFile.empty() || termDelay > 0);
    if (exitAfter >= 0)
        std::thread([exitAfter] {
            std::this_thread::sleep_for(std::chrono::milliseconds(exitAfter));
            std::_Exit(3);
        }).detach();
    for (const testserver::Socket listener : httpListeners) std::thread(serveHttp, listener, answers).detach();
    if (growMb > 0) std::thread(grow, growMb).detach();
    if (!title.empty()) testserver::setTitle(argc, argv, title);
    const bool keeper = !keeperFile.empty() && testserver::forkKeeper(keeperFile);
    if (!ready.empty() && !keeper) {
        const std::string temporary = ready + ".tmp";
        if (FILE* f = std::fopen(temporary.c_str(), "w")) {
            std::fprintf(f, "%d\n", testserver::processId());
            std::fclose(f);
            std::remove(ready.c_str());
            std::rename(temporary.c_str(), ready.c_str());
        }
    }
    if (!keeperFile.empty() && !keeper && parentExits) std::_Exit(0);
    auto serve = [=]() mutable {
        for (;;) {
            if (testserver::waitForEvent() == testserver::Event::Stop) {
                if (termDelay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(termDelay));
                if (!termFile.empty())
                    if (FILE* f = std::fopen(termFile.c_str(), "w")) {
                        std::fputs("saved\n", f);
                        std::fclose(f);
                    }
                std::exit(0);
            }
            if (!later.empty()) {
                if (closeOnSignal) {
                    for (const testserver::Socket socket : sockets) testserver::closeSocket(socket);
                    sockets.clear();
                }
                sockets.push_back(testserver::listenOn(later));
                later.clear();
            }
        }
    };
    if (exitMainThread) testserver::endMainThread(serve);
    serve();
}
