#include "app/metrics/DeadlineStream.h"

#include "platform/Sockets.h"

DeadlineStream::DeadlineStream(socket_t socket, std::chrono::steady_clock::time_point deadline)
    : socket_(socket), deadline_(deadline) {}

std::chrono::milliseconds DeadlineStream::left() const {
    const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
    return rest.count() > 0 ? rest : std::chrono::milliseconds(0);
}

bool DeadlineStream::is_readable() const {
    const auto rest = left();
    return rest.count() > 0 && platform::defaultSockets().waitReadable(socket_, rest) == platform::SocketWait::Ready;
}

bool DeadlineStream::is_writable() const {
    const auto rest = left();
    return rest.count() > 0 && platform::defaultSockets().waitWritable(socket_, rest) == platform::SocketWait::Ready;
}

ssize_t DeadlineStream::read(char* ptr, size_t size) {
    for (;;) {
        if (!is_readable()) return -1;
        const long n = platform::defaultSockets().receive(socket_, ptr, size);
        // Readable but nothing there after all: wait again, within the limit.
        if (n < 0 && platform::receiveWouldBlock()) continue;
        return n;
    }
}

ssize_t DeadlineStream::write(const char* ptr, size_t size) {
    for (;;) {
        if (!is_writable()) return -1;
        const long n = platform::defaultSockets().send(socket_, ptr, size);
        if (n != 0 || size == 0) return n;
    }
}

void DeadlineStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    ip.clear();
    port = 0;
}

void DeadlineStream::get_local_ip_and_port(std::string& ip, int& port) const {
    ip.clear();
    port = 0;
}
