#pragma once

// The start-up every way of running the supervisor shares: take the
// machine-wide single-instance guard, work in the executable's directory,
// create logs/, start the log and write "Procward started!".
// False when another copy runs: the caller then ends at once.
bool RunStartupSteps();

// Name of the single-instance guard.
extern const char* const kSingleInstanceName;
