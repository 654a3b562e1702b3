#pragma once
#include "supervision/AlertEvent.h"

// Where the supervisor's alerts go: the mail, and whatever else is given to
// the Supervisor. Called on the supervisor's thread, in the order the
// events happen; a sink must not wait (it hands slow work to a thread of
// its own).
class AlertSink {
public:
    virtual ~AlertSink() = default;
    virtual void alert(const AlertEvent& event) = 0;
};
