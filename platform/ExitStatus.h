#pragma once
#include <string>

namespace platform {

// How a process that the supervisor launched itself has ended, as the
// system reported it to the parent.
struct ExitStatus {
    enum class How {
        Code,    // it ended by itself (exit, return from main) with `value`
        Signal,  // a signal ended it: `value` is the signal's number
    };
    How how = How::Code;
    // The exit code (on Windows the whole 32-bit code, so NTSTATUS values
    // such as 0xC0000005 are negative here), or the signal number.
    int value = 0;
    // The kernel wrote a core file (or handed it to its core handler).
    bool coreDumped = false;

    bool operator==(const ExitStatus&) const = default;
};

// The end in words, to follow a server's name: "exited with code 3", "was
// killed by signal 9 (SIGKILL)", "was killed by signal 11 (SIGSEGV) (core
// dumped)"; on Windows "exited with code 0xC0000005 (access violation)".
std::string exitStatusText(const ExitStatus& status);

// The standard name of a signal ("SIGKILL", "SIGRTMIN+2"); "signal N"
// where it has none. Windows has no signals: always "signal N".
std::string signalName(int signal);

}  // namespace platform
