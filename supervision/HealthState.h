#pragma once

// What a server's health rule last found.
enum class HealthState {
    None,       // no rule, or no process to check
    Checking,   // a rule, and no verdict yet (the grace after a start, the first checks)
    Healthy,    // the last check passed
    Unhealthy,  // it failed as often in a row as the rule allows
};

// "-", "checking", "healthy", "unhealthy".
const char* healthStateName(HealthState state);
