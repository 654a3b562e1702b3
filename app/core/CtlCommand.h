#pragma once
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// `procward ctl ...` and `procwardd ctl ...`: sends one command to the
// running supervisor of this user (window or not) over its command socket
// and prints the answer. Returns the exit code: 0 done, 1 refused or failed
// (with a one-line reason on `err`), 3 when no supervisor is running or it
// did not answer in time; `status` 0 when every server (or the one named)
// runs and 3 otherwise, as LSB status commands do; `check` 0 healthy, 1 not.
int RunCtlCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

// The words after "ctl", taken apart: options (--json, --all, --now,
// --timeout SECONDS) may stand anywhere before "--", which ends them, so
// that a server named "--all" can be given as "stop -- --all".
struct CtlWords {
    std::vector<std::string> words;  // the command and its name, in order
    bool json = false;
    bool all = false;
    bool now = false;
    long long timeoutMs = 10000;
    long long lines = 20;  // logs -n LINES
    bool follow = false;   // logs -f
    bool help = false;     // --help: the commands are listed, nothing is sent
    bool dryRun = false;   // reload --dry-run
    bool group = false;    // signal --group
    // add --name N --processname P --commandline C, in the order given.
    std::vector<std::pair<std::string, std::string>> fields;
};

// The largest copy number `ctl restore` takes.
constexpr int kCtlMostGeneration = 100000;
bool ParseCtlWords(const std::vector<std::string>& args, CtlWords& parsed, std::string& error);

// The request line for the words after "ctl"; false with the reason when
// they are not a command.
bool CtlRequestLine(const std::vector<std::string>& args, std::string& line, std::string& error);
bool CtlRequestLine(const CtlWords& parsed, std::string& line, std::string& error);

// `ctl logs NAME [-n LINES] [-f]`: asks the supervisor for the status, finds
// the server's output file in it and prints the file's last lines; with
// `follow`, then what is appended, across rotations, until interrupted.
// `keepGoing` is asked between the looks while following (null: forever).
int RunCtlLogs(const CtlWords& parsed, std::FILE* out, std::FILE* err, bool (*keepGoing)() = nullptr);
