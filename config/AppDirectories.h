#pragma once
#include <string>

// Where the supervisor keeps its files. The configuration directory holds
// serverinfo.json and procward.ini, the log directory the daily logs. By
// default the first is the executable's directory and the second its logs/,
// so that a copied program runs from its own folder; an installed one is
// pointed elsewhere (--config-dir, --log-dir).
class AppDirectories {
public:
    static std::string configDirectory();
    static std::string logDirectory();
    // The directory as given, without trailing separators; empty restores
    // the default.
    static void setConfigDirectory(const std::string& directory);
    static void setLogDirectory(const std::string& directory);
    // Whether the log directory was given (it is then never created).
    static bool logDirectoryGiven();
    // Whether the configuration directory was given.
    static bool configDirectoryGiven();

    // serverinfo.json and procward.ini in the configuration directory.
    static std::string serverListPath();
    static std::string settingsPath();

    // Where the supervisor remembers the processes it holds across its own
    // restarts: the state directory systemd gives the service
    // ($STATE_DIRECTORY), else the configuration directory.
    static std::string stateDirectory();
    // procward.state in the state directory.
    static std::string statePath();
};
