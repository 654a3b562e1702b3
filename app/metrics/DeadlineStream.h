#pragma once
#include <httplib.h>

#include <chrono>

// One HTTP exchange on an accepted connection, with a limit on the whole of
// it: every read and write waits at most until `deadline`, however the
// client spreads its bytes, so a client that sends one byte a second is cut
// off when the time is up. A shutdown of the socket from another thread
// (the server ending) ends every wait at once.
class DeadlineStream : public httplib::Stream {
public:
    DeadlineStream(socket_t socket, std::chrono::steady_clock::time_point deadline);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    // Not needed by the one handler; reported as unknown.
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return socket_; }

private:
    std::chrono::milliseconds left() const;

    socket_t socket_;
    std::chrono::steady_clock::time_point deadline_;
};
