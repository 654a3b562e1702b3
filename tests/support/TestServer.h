#pragma once
#include <string>
#include <vector>

// Path of the test server program built with the tests.
std::string testServerPath();

// Copies the test server program to `path` (unless a file is there already)
// and returns the path. A test that runs its own copy never matches the
// processes of tests running at the same time.
std::string copyTestServer(const std::string& path);

// A free TCP port on 127.0.0.1 (bound once and released).
int freeTcpPort();

// A test server process started by the test itself (a child of the test),
// killed and reaped when the object goes.
class TestServer {
public:
    // Starts `program` (the test server, or a copy of it or a link to it)
    // with `args` and waits until it has set up its sockets.
    explicit TestServer(const std::vector<std::string>& args, const std::string& program = testServerPath());
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int pid() const { return pid_; }
    // Kills the process with SIGKILL and reaps it.
    void kill();

private:
    int pid_ = 0;
};

// Kills a process that is not a child of the test (one the supervisor
// launched) and waits until it is gone from the process table.
void killAndWait(int pid);

// True while a process with this ID exists and is not a zombie.
bool processAlive(int pid);

// Waits up to `ms` milliseconds for a condition.
template <class F>
bool waitFor(F condition, int ms = 5000);

#include <chrono>
#include <thread>
template <class F>
bool waitFor(F condition, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}
