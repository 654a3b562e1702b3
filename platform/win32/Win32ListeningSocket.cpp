#include <winsock2.h>
#include <windows.h>

#include "platform/ListeningSocket.h"

namespace platform {

void prepareListeningSocket(std::intptr_t socket) {
    const SOCKET s = static_cast<SOCKET>(socket);
    // On Windows SO_REUSEADDR would let another program bind the same port
    // and take its connections; SO_EXCLUSIVEADDRUSE forbids exactly that,
    // and a port left in TIME_WAIT can still be bound again.
    const BOOL yes = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace platform
