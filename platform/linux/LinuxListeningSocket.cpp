#include <fcntl.h>
#include <sys/socket.h>

#include "platform/ListeningSocket.h"

namespace platform {

void prepareListeningSocket(std::intptr_t socket) {
    const int fd = static_cast<int>(socket);
    // SO_REUSEADDR only: SO_REUSEPORT would let another process of the same
    // user listen on the port too and take part of the requests.
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace platform
