#pragma once
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
Socket listenOn(const std::string& address);  // "ADDR:PORT", IPv4
Socket listen6(int port);                     // [::1]:PORT only
Socket connectTo(const std::string& address);

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
