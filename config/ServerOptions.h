#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <chrono>

#include "config/HealthRule.h"
#include "platform/ProcessControl.h"

// Where a launched server's standard output and error go.
enum class ServerOutput {
    file,     // a file of the server's own
    discard,  // nowhere
};

// The optional keys of a server list entry. Default values mean what an
// entry without the keys has always meant.
struct ServerOptions {
    std::string cwd;  // working directory; empty: the launcher's default
    // Variables set for the server, in the file's order.
    std::vector<std::pair<std::string, std::string>> env;
    std::string user;   // run as this user; empty: as Procward
    std::string group;  // run with this group; empty: the user's
    std::string pidfile;  // where a server that daemonizes writes its PID; empty: it does not
    bool killGroup = true;  // end the rest of the server's process group with it
    ServerOutput output = ServerOutput::file;
    std::optional<HealthRule> health;
    // How a stop asks the server to end; none: SIGTERM (Ctrl-Break or
    // WM_CLOSE on Windows, whatever is set).
    std::optional<platform::StopSignal> stopSignal;
    // How long a stop waits before the kill; none: STOP_TIMEOUT.
    std::optional<std::chrono::milliseconds> stopTimeout;
    // Recognising a running copy that was not launched here: a regular
    // expression searched in its command line (for a server that rewrites
    // its arguments), and the address it listens on ("127.0.0.1:6379").
    // Empty: by executable and arguments.
    std::string match;
    std::string listen;

    bool operator==(const ServerOptions&) const = default;
};
