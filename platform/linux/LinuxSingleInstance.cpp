#include "platform/linux/LinuxSingleInstance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace platform {

LinuxSingleInstance::~LinuxSingleInstance() {
    if (fd_ >= 0) ::close(fd_);
}

bool LinuxSingleInstance::acquire(const std::string& name) {
    if (fd_ >= 0) return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Abstract names start with a NUL byte and are not files.
    if (name.empty() || name.size() + 1 > sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

SingleInstance& defaultSingleInstance() {
    static LinuxSingleInstance instance;
    return instance;
}

}  // namespace platform
