#pragma once
#include <string>

namespace platform {

// Some stops cannot be sent from the supervisor's own process: on Windows a
// Ctrl-Break reaches only the processes of the sender's console, and a
// supervisor with a console of its own cannot join a server's console
// without giving up its own. Such a stop is sent by a short-lived copy of
// the supervisor's daemon program (procwardd), started without a console:
// `procwardd --send-ctrl-break PID` joins the console of PID, sends the
// Ctrl-Break to PID's process group and ends.
//
// True when the arguments are such a call: the call has been made and
// `exitCode` is what the program ends with (0 sent, 1 not). False for any
// other arguments, and always where no helper is needed.
bool runStopHelper(int argc, char** argv, int& exitCode);

// The helper's option.
extern const char* const kStopHelperOption;

}  // namespace platform
