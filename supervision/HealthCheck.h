#pragma once
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "config/HealthRule.h"
#include "platform/NetworkProber.h"
#include "platform/ProcessControl.h"

// One look at a server's health, with everything it needs copied in: it
// runs on a worker thread while the record it came from may change or go.
struct HealthCheck {
    HealthProbe probe = HealthProbe::none;
    std::string host;  // tcp, http: the address reached (an IPv6 one without brackets)
    std::uint16_t port = 0;
    std::string path = "/";  // http
    int expectLow = 200;
    int expectHigh = 399;
    std::string bodyContains;
    platform::LaunchRequest exec;  // exec: the command, started without a shell
    std::chrono::milliseconds timeout{3000};
    // Why the probe cannot even be tried (no listen address to reach): the
    // check fails with this text without touching the network.
    std::string problem;

    // The memory limit's reading: the process, or the group it leads.
    int pid = 0;
    int group = 0;
    bool readMemory = false;
};

// What a check saw.
struct HealthCheckResult {
    bool probed = false;   // a probe ran (or could not be tried)
    bool healthy = false;  // ... and passed
    std::string seen;      // what it saw, for the operator ("HTTP 503 from /healthz")
    std::optional<std::uint64_t> residentBytes;  // with readMemory, when it could be read
};

// A tcp or http check that reads no memory: it is one look over the
// network, made by a prober without a thread of its own.
bool isNetworkLook(const HealthCheck& check);
// That look, as the prober takes it.
platform::ProbeRequest probeRequestOf(const HealthCheck& check);
// What the look's answer means for the check.
HealthCheckResult resultOf(const HealthCheck& check, const platform::ProbeAnswer& answer);

// Runs the check; blocks for as long as the probe takes, never longer than
// its time-out (an exec probe over it is killed). For worker threads only.
HealthCheckResult runHealthCheck(const HealthCheck& check, platform::ProcessControl& control);

// "3 s", "0.5 s": a duration as the operator reads it.
std::string secondsText(std::chrono::milliseconds duration);
