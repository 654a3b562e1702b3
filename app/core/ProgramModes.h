#pragma once
#include "app/core/CommandLine.h"

// The modes both executables share, window or not: --headless (procwardd's
// only mode), --test-mail, ctl, --help and --version. `program` names the executable
// in messages. Returns the exit code.
int RunProgramMode(const CommandLine& line, const char* program, bool daemon);
