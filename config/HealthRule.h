#pragma once
#include <chrono>
#include <cstdint>
#include <string>

// How a server's health is probed.
enum class HealthProbe {
    none,  // no probe: the rule only watches memory
    tcp,   // a connect to `host`:`port` within the timeout
    http,  // a GET of http://`host`:`port``path` answered with a status in range
    exec,  // `command` exits 0 within the timeout
};

// What a rule does once a server has failed it often enough.
enum class HealthAction { restart, alert };

// The "health" key of a server list entry: a probe and the limits around it.
// A rule exists only when it has a probe or a memory limit.
struct HealthRule {
    HealthProbe probe = HealthProbe::none;
    // The probe as the file gives it ("127.0.0.1:8080", the URL, the
    // command line), for messages and the edit dialog.
    std::string target;
    // tcp and http: the address to reach. With `useListenAddress` the host
    // (and, when `port` is 0, the port) come from the address the server
    // listens on.
    bool useListenAddress = false;
    std::string host;  // an IPv6 address without its brackets
    std::uint16_t port = 0;
    std::string path = "/";  // http: path and query, from the first "/"
    int expectLow = 200;     // http: accepted status codes, both ends included
    int expectHigh = 399;
    std::string bodyContains;  // http: text the answer's body must hold; empty = any
    std::string command;       // exec: the command line, started without a shell

    std::chrono::milliseconds interval{10000};
    std::chrono::milliseconds timeout{3000};
    int failures = 3;                       // consecutive failed probes before acting
    std::chrono::milliseconds grace{30000};  // no probes this long after a start

    double maxMemoryMb = 0;  // resident memory limit; 0 = none
    int memoryChecks = 3;    // consecutive checks above the limit before acting

    HealthAction onFailure = HealthAction::restart;

    bool operator==(const HealthRule&) const = default;
};
