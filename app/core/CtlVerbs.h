#pragma once
#include <string>
#include <vector>

// The commands of `ctl`, in one table: what the client accepts and prints
// as its usage, what the supervisor's side runs, and the words it answers
// in. A command is added here and nowhere else decides what it takes.

// What a command is given besides its name.
enum class CtlTarget {
    None,         // nothing (reload, shutdown)
    OptionalOne,  // the name of one server, or nothing for every server (status)
    One,          // the name of one server
    OneOrAll,     // the name of one server, or --all
    Generation,   // the number of one kept copy of the server list (1 the newest)
    Entry,        // a new entry: one JSON object, or --name/--processname/--commandline and KEY=VALUE words (add)
    Keys,         // the name of one server and KEY=VALUE words (set)
};

// The options a command takes, as bits.
enum CtlOption : unsigned {
    kCtlJson = 1u << 0,    // --json
    kCtlNow = 1u << 1,     // --now
    kCtlLines = 1u << 2,   // -n LINES
    kCtlFollow = 1u << 3,  // -f
    kCtlDryRun = 1u << 4,  // --dry-run
    kCtlGroup = 1u << 5,   // --group
};

struct CtlVerb {
    const char* name;
    CtlTarget target;
    unsigned options;  // CtlOption bits
    // The word after the name it needs ("SIGNAL"), as the usage names it;
    // null when it takes none.
    const char* argument;
    const char* usage;  // "start NAME | start --all"
    const char* help;   // one line for --help
    // The request the supervisor gets: the command itself, or the one whose
    // answer the client works with ("logs" asks for the status).
    const char* request;
    // The answer once the supervisor is done, a fmt pattern with {name},
    // {pid}, {signal}, {error} and, for --all, {count} and {names}.
    const char* done;
    const char* failed;
    const char* allDone;
    const char* allFailed;
};

// Every command, in the order --help lists them.
const std::vector<CtlVerb>& CtlVerbs();
// The command of that name; null when there is none.
const CtlVerb* FindCtlVerb(const std::string& name);
// "usage: ctl [--timeout SECONDS] status [--json] | start NAME | ..." from the table.
std::string CtlUsage();
// One line per command, for --help.
std::string CtlHelp();
