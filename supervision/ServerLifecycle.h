#pragma once
#include "supervision/Clock.h"
#include "supervision/ServerState.h"

// The one state of a server, and the table of the transitions it may make.
// Only MonitoredServer::enter moves it, which also logs the transition,
// raises the alert that belongs to it and tells the observers.
//
//   from \ to   stopped starting running stopping failing backoff
//   stopped        .       L        F        .       X       X
//   starting       E       .        C        S       X       X
//   running        E       .        .        S       X       X
//   stopping       D       .        K        .       D       D
//   failing        O       L        F        .       X       X
//   backoff        O       L        F        .       X       X
//
// L launched; F found running (or taken over from the previous run); C
// confirmed: it has lived the confirmation time; S a stop was asked for
// (the operator, a restart, the health rule, a change of the list); D the
// stopped process has gone; K the stop failed, the process is still held;
// E the process ended while auto-start is off; O the operator keeps a
// server down that has no process; X a start failed (the launch, or a
// process that died before it was confirmed) or a running process ended
// while auto-start is on. failing -> failing and backoff -> backoff are
// further failures of the same streak.
class ServerLifecycle {
public:
    ServerState state() const { return state_; }
    // When the current state was entered.
    Clock::TimePoint since() const { return since_; }

    static bool allowed(ServerState from, ServerState to);
    // Moves to `next`. False, and nothing changes, when the table has no
    // such transition.
    bool enter(ServerState next, Clock::TimePoint now);

private:
    ServerState state_ = ServerState::Stopped;
    Clock::TimePoint since_{};
};
