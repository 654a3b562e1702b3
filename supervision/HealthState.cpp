#include "supervision/HealthState.h"

const char* healthStateName(HealthState state) {
    switch (state) {
        case HealthState::Checking: return "checking";
        case HealthState::Healthy: return "healthy";
        case HealthState::Unhealthy: return "unhealthy";
        case HealthState::None: break;
    }
    return "-";
}
