#pragma once
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <set>

// cpp-httplib's server with limits no client can get round: `threads`
// workers serve the connections, at most `connections` of them are waiting
// or served at once (the rest get 503 and are closed), each connection has
// `exchangeLimit` from its acceptance to its last byte, and one request per
// connection. stopNow ends every exchange under way at once, so that the
// end of the server never waits for a client.
class BoundedHttpServer : public httplib::Server {
public:
    BoundedHttpServer(std::size_t threads, std::size_t connections, std::chrono::milliseconds exchangeLimit);

    // Cuts every connection short, then stops the server; listen_after_bind
    // returns soon after. From any thread.
    void stopNow();

private:
    bool process_and_close_socket(socket_t socket) override;
    // Ends the socket's exchange and closes it.
    void finish(socket_t socket);

    const std::chrono::milliseconds exchangeLimit_;
    std::atomic<bool> stopping_{false};
    std::mutex activeMutex_;
    std::set<socket_t> active_;  // connections being served, for stopNow
};
