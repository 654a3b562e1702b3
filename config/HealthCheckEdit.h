#pragma once
#include <chrono>
#include <string>

#include "config/HealthRule.h"

// The part of a server's health rule that the window's edit dialog sets.
// Writing it changes these keys of the entry's "health" object and leaves
// every other key of the entry as it is.
struct HealthCheckEdit {
    // tcp or http sets that probe (and removes any other probe of the rule);
    // none removes the tcp and http probes, and the whole rule when nothing
    // is left for it to watch.
    HealthProbe probe = HealthProbe::none;
    std::string target;  // tcp: "host:port", "[v6]:port" or "listen"; http: the URL
    std::chrono::milliseconds interval{10000};
    int failures = 3;
};
