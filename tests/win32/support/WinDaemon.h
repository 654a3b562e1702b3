#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/TempDir.h"

// A command line run to its end, with what it wrote.
struct FinishedRun {
    DWORD code = 0;
    std::string out;  // stdout and stderr together
};

// Runs `commandLine` (UTF-8) in `directory` to its end (60 s at most), its
// output caught through a pipe.
FinishedRun runToEnd(const std::string& commandLine, const std::string& directory);

// The process ID of a running program by its file name; 0 when none runs.
int pidOfProgram(const std::string& fileName);

// True while the process `pid` runs.
bool processRuns(int pid);

// procwardd.exe as an operator runs it: a copy in the test's folder beside
// the serverinfo.json and procward.ini the test writes there, started from
// another folder with a console of its own. The daemon and every program
// named in `programsToEnd` are ended when the object goes.
class WinDaemon {
public:
    explicit WinDaemon(const TempDir& dir);
    ~WinDaemon();
    WinDaemon(const WinDaemon&) = delete;
    WinDaemon& operator=(const WinDaemon&) = delete;

    bool start();
    // `procwardd <arguments>` run to its end from the test's folder.
    FinishedRun run(const std::string& arguments) const;
    FinishedRun ctl(const std::string& arguments) const { return run("ctl " + arguments); }
    // Today's log of the daemon.
    std::string log() const;
    void endAlso(const std::string& programFileName) { programsToEnd_.push_back(programFileName); }

private:
    std::string directory_, program_;
    std::vector<std::string> programsToEnd_;
    HANDLE process_ = nullptr;
};
