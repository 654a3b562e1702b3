#pragma once
#include <cstdint>

namespace platform {

// Options every listening TCP socket of the supervisor gets before it is
// bound: its address can be bound again at once after a restart, no other
// program can bind the same port beside it, and programs the supervisor
// launches do not inherit it.
void prepareListeningSocket(std::intptr_t socket);

}  // namespace platform
