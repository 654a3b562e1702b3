#pragma once
#include <string>
#include <utility>
#include <vector>

namespace platform {

// The environment a started program gets: the supervisor's own, less what
// belongs to the supervisor alone, with the variables asked for on top.
class ServerEnvironment {
public:
    // The supervisor's environment as the program gets it. Left out:
    // NOTIFY_SOCKET, WATCHDOG_PID, WATCHDOG_USEC, every LISTEN_* and
    // PROCWARD_* (what a service manager or a test set for the supervisor
    // itself), and, when the service manager started the supervisor,
    // XDG_RUNTIME_DIR (it then names the service's directory, not a user's)
    // and the directories it made for the unit (STATE_DIRECTORY,
    // LOGS_DIRECTORY, CONFIGURATION_DIRECTORY, RUNTIME_DIRECTORY,
    // CACHE_DIRECTORY).
    // `own` holds "NAME=VALUE" entries; `extra` is applied in order, a
    // variable already there taking its place. Names compare exactly, or
    // ignoring ASCII case where the platform's names do (`foldCase`).
    static std::vector<std::string> build(const std::vector<std::string>& own, bool startedByServiceManager,
                                          const std::vector<std::pair<std::string, std::string>>& extra,
                                          bool foldCase);

    // True when a service manager started this process: INVOCATION_ID or
    // NOTIFY_SOCKET was set when the program started (the latter may be
    // removed once the manager has been told the program is ready).
    static bool startedByServiceManager();

    // True for a variable of the supervisor that is never passed on.
    static bool isOwnVariable(const std::string& name, bool startedByServiceManager, bool foldCase);
};

}  // namespace platform
