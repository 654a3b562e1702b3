#include "app/core/CtlVerbs.h"

const std::vector<CtlVerb>& CtlVerbs() {
    static const std::vector<CtlVerb> verbs{
        {"status", CtlTarget::OptionalOne, kCtlJson, nullptr, "status [NAME] [--json]",
         "every server: state, PID, restarts, uptime, listen address, health; with NAME one server in full "
         "(its last exit, health, output and its last 10 lines). Exit 0 when all (or NAME) run, else 3",
         "status", "", "", "", ""},
        {"start", CtlTarget::OneOrAll, 0, nullptr, "start NAME | start --all",
         "starts a server now and turns its auto-start on (--all: every server that is not running)", "start",
         "{name} started: pid={pid}", "{name} could not be started (see the log)", "all {count} servers running",
         "could not start: {names} (see the log)"},
        {"stop", CtlTarget::OneOrAll, kCtlNow, nullptr, "stop NAME | stop --all | stop --now NAME",
         "stops a server and keeps it down (--all: every server; --now: kill it at once)", "stop", "{name} stopped",
         "{name} could not be stopped (see the log)", "all {count} servers stopped",
         "could not stop: {names} (see the log)"},
        {"kill", CtlTarget::One, 0, nullptr, "kill NAME", "ends a server's process at once and keeps it down", "kill",
         "{name} killed", "{name} could not be killed (see the log)", "", ""},
        {"restart", CtlTarget::One, 0, nullptr, "restart NAME", "stops a server and starts it again", "restart",
         "{name} restarted: pid={pid}", "{name} did not start again (see the log)", "", ""},
        {"signal", CtlTarget::One, kCtlGroup, "SIGNAL", "signal NAME SIGNAL [--group]",
         "sends TERM, INT, QUIT, HUP, USR1, USR2 or KILL to the server's process (--group: its process group); "
         "nothing else changes",
         "signal", "sent SIG{signal} to {name} (pid {pid})", "{name}: the signal could not be sent: {error}", "", ""},
        {"check", CtlTarget::One, 0, nullptr, "check NAME",
         "runs the server's health rule now and prints its verdict (exit 1 unless healthy)", "check", "", "", "", ""},
        {"logs", CtlTarget::One, kCtlLines | kCtlFollow, nullptr, "logs NAME [-n LINES] [-f]",
         "prints the last lines of the server's output file (-f: then what follows)", "status", "", "", "", ""},
        {"reload", CtlTarget::None, kCtlDryRun, nullptr, "reload [--dry-run]",
         "reads procward.ini and serverinfo.json again and applies them; says what it added, changed, removed "
         "(--dry-run: only says it)",
         "reload", "", "", "", ""},
        {"backups", CtlTarget::None, 0, nullptr, "backups",
         "lists the copies of serverinfo.json kept before each rewrite: number (1 the newest), time, servers",
         "backups", "", "", "", ""},
        {"restore", CtlTarget::Generation, 0, nullptr, "restore N",
         "brings copy N of serverinfo.json back (the list it replaces is kept as a copy) and applies it as reload "
         "does; says what it added, changed, removed",
         "restore", "", "", "", ""},
        {"list", CtlTarget::None, kCtlJson, nullptr, "list [--json]",
         "the entries of serverinfo.json as the file holds them, every key included (--json: a JSON array)", "list", "",
         "", "", ""},
        {"add", CtlTarget::Entry, 0, nullptr,
         "add ENTRY-JSON | add --name N --processname P --commandline C [KEY=VALUE...]",
         "adds an entry to serverinfo.json and applies the list (the new server starts); KEY=VALUE sets a text, "
         "KEY:=JSON any value",
         "add", "", "", "", ""},
        {"set", CtlTarget::Keys, 0, nullptr, "set NAME KEY=VALUE... | set NAME KEY:=JSON...",
         "changes keys of an entry in serverinfo.json (KEY:=null removes one) and applies the list (the server "
         "restarts when what it runs changed)",
         "set", "", "", "", ""},
        {"remove", CtlTarget::One, 0, nullptr, "remove NAME",
         "removes an entry from serverinfo.json and applies the list (the server is stopped)", "remove", "", "", "",
         ""},
        {"shutdown", CtlTarget::None, 0, nullptr, "shutdown", "ends Procward; the servers keep running", "shutdown", "",
         "", "", ""},
    };
    return verbs;
}

const CtlVerb* FindCtlVerb(const std::string& name) {
    for (const CtlVerb& verb : CtlVerbs())
        if (name == verb.name) return &verb;
    return nullptr;
}

std::string CtlUsage() {
    std::string text = "usage: ctl [--timeout SECONDS]";
    std::size_t column = text.size();
    bool first = true;
    for (const CtlVerb& verb : CtlVerbs()) {
        const std::string part = std::string(first ? " " : " | ") + verb.usage;
        if (column + part.size() > 110) {
            text += "\n      ";
            column = 6;
        }
        text += part;
        column += part.size();
        first = false;
    }
    return text + "   (-- ends the options)";
}

std::string CtlHelp() {
    std::string text = "ctl [--timeout SECONDS] COMMAND: asks the running Procward of this user (or the service)\n";
    for (const CtlVerb& verb : CtlVerbs()) {
        std::string usage = verb.usage;
        text += "  " + usage + "\n      " + verb.help + "\n";
    }
    text += "Options may stand anywhere before \"--\", which ends them (stop -- --all stops a server named --all).\n";
    return text;
}
