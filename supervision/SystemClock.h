#pragma once
#include "supervision/Clock.h"

// The machine's monotonic clock.
class SystemClock : public Clock {
public:
    TimePoint now() const override;
    static SystemClock& Instance();
};
