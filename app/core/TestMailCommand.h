#pragma once
#include <cstdio>

// `procward --test-mail [--verbose]`: sends the settings dialog's test mail
// with the settings of procward.ini beside the executable through the mail
// delivery thread, waits for the outcome and prints it; with `verbose` it
// prints the SMTP conversation as it happens (the server's replies and the
// client's commands, credentials masked). Returns the exit code: 0 when the
// mail was accepted, 1 otherwise.
int RunTestMailCommand(std::FILE* out, bool verbose = false);
