#pragma once
#include <cstddef>
#include <string>
#include <vector>

// What applying a server list changes, entry by entry: the answer of
// `ctl reload` (and of `--dry-run`, which applies nothing) and the log line.
struct ListChange {
    // A server whose entry differs, and the keys that differ ("commandline",
    // "env", "name", "health" ...). `restarts`: its process is stopped and
    // started with the new definition; otherwise it keeps its process.
    struct Changed {
        std::string name;
        std::vector<std::string> keys;
        bool restarts = false;
    };
    std::vector<std::string> added;
    std::vector<Changed> changed;
    std::vector<std::string> removed;
    std::size_t unchanged = 0;

    bool empty() const { return added.empty() && changed.empty() && removed.empty(); }
    // "added: a; changed: chg (commandline); removed: gone; unchanged: 5";
    // groups that are empty are left out, "unchanged" never is.
    std::string text() const;
};
