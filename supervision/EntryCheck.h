#pragma once
#include <cstdint>
#include <string>
#include <vector>

// What may stop an entry from joining the server list.
enum class EntryProblem {
    None,
    NoName,
    NoProcessName,
    NoCommandLine,
    NameTaken,         // another entry has this name (ASCII letter case ignored)
    CommandLineTaken,  // ... or this command line: two rows would hold one process
};

// An entry as it would be stored (its texts trimmed), and whether it may be.
struct EntryCheck {
    std::string name;
    std::string processname;
    std::string commandline;
    EntryProblem problem = EntryProblem::None;
    std::int32_t clashesWith = 0;  // the index of the entry it clashes with

    bool accepted() const { return problem == EntryProblem::None; }
    // Why not, in the log's and ctl's words ("the name \"gs1\" is used by
    // server 3 already"); empty when accepted.
    std::string text() const;

    // One entry of the list it is checked against.
    struct Listed {
        std::int32_t index = 0;
        std::string name;
        std::string commandline;
    };
    // Checks the texts in this order: name, file name and command line not
    // empty; then, for each listed entry in turn, the name and then the
    // command line not already used. The file name may repeat.
    static EntryCheck of(const std::string& name, const std::string& processname, const std::string& commandline,
                         const std::vector<Listed>& listed);
};
