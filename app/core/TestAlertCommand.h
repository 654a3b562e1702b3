#pragma once
#include <cstdio>
#include <string>

// `procward --test-alert [CHANNEL] [--verbose]`: sends a test alert through
// every alert channel of procward.ini beside the executable (the mail, when
// it is on, and each [WEBHOOK.<name>]), or through the one named ("mail" or
// a webhook's name), at once and without retries, and prints each outcome;
// with `verbose` the HTTP exchanges and the SMTP conversation, secrets
// masked. Returns the exit code: 0 when every channel took its alert, 1
// otherwise (or when there is no such channel, or none at all).
int RunTestAlertCommand(std::FILE* out, const std::string& channel, bool verbose = false);
