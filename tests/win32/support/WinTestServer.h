#pragma once
#include <windows.h>

#include <string>

#include "tests/support/TempDir.h"

// Where the Windows test programs find their helpers: beside themselves.
std::string testProgramDirectory();

// A copy of the Windows test server, started with a command line of the
// test's choosing and waited for until it has set up its sockets. Each test
// runs its own copy under a name of its own, so that parallel tests never
// see each other's servers. The process is ended when the object goes.
class WinTestServer {
public:
    // Copies the test server into `dir` as `fileName`; its full path.
    static std::string copyProgram(const TempDir& dir, const std::string& fileName);

    // Starts the command line (CreateProcess, hidden, a console of its
    // own); started() tells whether it came up within a generous bound.
    WinTestServer(const TempDir& dir, const std::string& commandLine);
    ~WinTestServer();
    WinTestServer(const WinTestServer&) = delete;
    WinTestServer& operator=(const WinTestServer&) = delete;

    bool started() const { return pid_ != 0; }
    int pid() const { return pid_; }
    HANDLE handle() const { return process_; }
    // True once the process has ended, waiting up to `ms` for it.
    bool endsWithin(DWORD ms) const;
    void kill();

private:
    HANDLE process_ = nullptr;
    int pid_ = 0;
};

// Windows Sockets started for as long as the object lives.
class WinsockSession {
public:
    WinsockSession();
    ~WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
};

// Sets the named event that asks a test server to listen (its SIGUSR1).
bool askToListen(int pid);

// True under Wine, whose limits some tests name when they skip.
bool runningUnderWine();

// The reason a test of a console server's graceful stop skips under Wine.
extern const char* const kWineDropsConsoleEvents;

// A free TCP port on 127.0.0.1 at the time of the call.
int freePort();

// True when a TCP connection to 127.0.0.1:port is accepted.
bool acceptsConnections(int port);

// Waits up to `ms` for `condition`; its last value.
template <typename Condition>
bool eventually(Condition condition, DWORD ms = 10000) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    for (;;) {
        if (condition()) return true;
        if (::GetTickCount64() >= end) return condition();
        ::Sleep(10);
    }
}
