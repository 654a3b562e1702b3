#pragma once
#include <cstdio>
#include <string>
#include <vector>

// `procward ctl ...` and `procwardd ctl ...`: sends one command to the
// running supervisor of this user (window or not) over its command socket
// and prints the answer. Returns the exit code: 0 done, 1 refused or failed
// (with a one-line reason on `err`), 3 when no supervisor is running.
int RunCtlCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

// The request line for the words after "ctl"; false with the reason when
// they are not a command.
bool CtlRequestLine(const std::vector<std::string>& args, std::string& line, std::string& error);
