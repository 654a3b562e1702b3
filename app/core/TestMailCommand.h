#pragma once
#include <cstdio>

// `procward --test-mail`: sends the settings dialog's test mail with the
// settings of procward.ini beside the executable and prints the outcome.
// Returns the exit code: 0 when the mail was accepted, 1 otherwise.
int RunTestMailCommand(std::FILE* out);
