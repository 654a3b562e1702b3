#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What the test server needs of the system it runs on; one implementation
// per system, beside this file.
namespace testserver {

using Socket = std::intptr_t;

// Called first, before any thread starts: stop requests and listen
// requests are held back until waitForEvent takes them.
void prepare();

// Each exits the program with status 2 when the socket cannot be made.
// listenOn takes "ADDR:PORT" for IPv4 and "[ADDR6]:PORT" for IPv6 (only
// IPv6, except for an IPv4-mapped address, which needs the IPv4 side).
Socket listenOn(const std::string& address);
Socket listen6(int port);                     // [::1]:PORT only
Socket connectTo(const std::string& address);
void closeSocket(Socket socket);
// Waits for a connection on a listening socket; -1 when the wait failed.
Socket acceptOn(Socket listener);
// What recv and send do: bytes received (0 at the peer's end, -1 on an
// error); true once all of `text` was sent.
long receiveSome(Socket socket, char* bytes, std::size_t size);
bool sendAll(Socket socket, const std::string& text);

// Opens `count` connections over loopback to itself and keeps both ends of
// each, so that the process holds 2 * `count` established sockets; the
// listener they came through is closed again.
void holdConnections(int count, std::vector<Socket>& sockets);

// Forks a child that keeps every descriptor of the process (its listeners
// too) and writes its process ID into `pidFile`; returns in both, in the
// parent once the file is there. True in the child, which outlives the
// parent. Exits with status 2 where the system cannot fork.
bool forkKeeper(const std::string& pidFile);

// Stop requests (SIGTERM; Ctrl-Break, Ctrl-C or WM_CLOSE on Windows) are
// ignored from now on.
void ignoreStop();
// Called once the options are read: with `handled` a stop request becomes
// an event for waitForEvent, otherwise it ends the program as the system
// ends it by default (unless ignoreStop was called).
void settleStopHandling(bool handled);

// A hidden top-level window that takes WM_CLOSE as a stop request (Windows
// only; false elsewhere).
bool openWindow();

int processId();

// The program's environment, "NAME=VALUE" each.
std::vector<std::string> environment();
// The system's 8-bit code page: the ANSI code page on Windows, 65001
// (UTF-8) elsewhere.
unsigned codePage();

// Rewrites the program's own argument list to `title`, as setproctitle
// does; false where the system does not let it.
bool setTitle(int argc, char** argv, const std::string& title);

enum class Event {
    Stop,    // a stop request came
    Listen,  // the listen request came (SIGUSR1; an event named by listenEventName on Windows)
};
Event waitForEvent();

// The name of the event that asks the server with this process ID to
// listen (Windows).
std::string listenEventName(int pid);

// Ends the main thread while `serve` runs on in another thread.
[[noreturn]] void endMainThread(std::function<void()> serve);

}  // namespace testserver
