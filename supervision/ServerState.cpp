#include "supervision/ServerState.h"

const char* serverStateName(ServerState state) {
    switch (state) {
        case ServerState::Running: return "running";
        case ServerState::Starting: return "starting";
        case ServerState::Stopping: return "stopping";
        case ServerState::Failing: return "failing";
        case ServerState::Backoff: return "backoff";
        case ServerState::Stopped: break;
    }
    return "stopped";
}
