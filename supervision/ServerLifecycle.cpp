#include "supervision/ServerLifecycle.h"

bool ServerLifecycle::allowed(ServerState from, ServerState to) {
    using S = ServerState;
    switch (from) {
        case S::Stopped: return to == S::Starting || to == S::Running || to == S::Failing || to == S::Backoff;
        case S::Starting:
        case S::Running:
            return to == S::Stopped || (from == S::Starting && to == S::Running) || to == S::Stopping ||
                   to == S::Failing || to == S::Backoff;
        case S::Stopping: return to == S::Stopped || to == S::Running || to == S::Failing || to == S::Backoff;
        case S::Failing:
        case S::Backoff:
            return to == S::Stopped || to == S::Starting || to == S::Running || to == S::Failing || to == S::Backoff;
    }
    return false;
}

bool ServerLifecycle::enter(ServerState next, Clock::TimePoint now) {
    if (next == state_) return true;
    if (!allowed(state_, next)) return false;
    state_ = next;
    since_ = now;
    return true;
}
