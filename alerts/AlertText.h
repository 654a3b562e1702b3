#pragma once
#include <string>
#include <vector>

#include "supervision/AlertEvent.h"

// How the alert channels name and word the supervisor's events.

// The event's name in EVENTS= lists and in the json kind's object: "down",
// "restarted", "start-failed", "keeps-failing", "recovered", "unhealthy",
// "healthy", "started", "stopping".
const char* AlertEventName(AlertKind kind);

// Whether a channel whose EVENTS= list is `events` gets events of `kind`.
bool AlertSelected(const std::vector<std::string>& events, AlertKind kind);

// The event in a few words, as a digest lists it: "game03 down (SIGSEGV)",
// "game03 restarted (pid 4242)", "game03 could not be started",
// "game03 keeps failing", "game03 recovered", "Procward started".
std::string AlertShortText(const AlertEvent& event);

// "2026-01-05T09:30:00Z" (UTC).
std::string AlertIsoTime(std::int64_t secondsSince1970);

// This machine's name, as alerts name it; "unknown host" when it cannot be read.
std::string AlertHostName();
