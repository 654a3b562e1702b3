#include "app/metrics/BoundedHttpServer.h"

#include <cstring>

#include "app/metrics/BoundedTaskQueue.h"
#include "app/metrics/DeadlineStream.h"
#include "platform/Sockets.h"

namespace {
const char* const kBusy =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 38\r\nConnection: close\r\n\r\n"
    "Too many connections; try again later\n";
}  // namespace

BoundedHttpServer::BoundedHttpServer(std::size_t threads, std::size_t connections,
                                     std::chrono::milliseconds exchangeLimit)
    : exchangeLimit_(exchangeLimit) {
    new_task_queue = [threads, connections] { return new BoundedTaskQueue(threads, connections); };
}

void BoundedHttpServer::stopNow() {
    stopping_ = true;
    {
        // Under the lock: a socket in the set is not closed meanwhile, so
        // its number cannot belong to another file yet.
        std::lock_guard<std::mutex> lock(activeMutex_);
        for (socket_t socket : active_) platform::defaultSockets().shutdown(socket);
    }
    stop();
}

void BoundedHttpServer::finish(socket_t socket) {
    {
        std::lock_guard<std::mutex> lock(activeMutex_);
        active_.erase(socket);
    }
    platform::defaultSockets().shutdown(socket);
    platform::defaultSockets().close(socket);
}

bool BoundedHttpServer::process_and_close_socket(socket_t socket) {
    auto& sockets = platform::defaultSockets();
    sockets.setNonBlocking(socket);
    if (BoundedTaskQueue::turnedAway() && !stopping_) {
        // Into an empty socket buffer: sent at once or not at all.
        sockets.send(socket, kBusy, std::strlen(kBusy));
    }
    {
        std::lock_guard<std::mutex> lock(activeMutex_);
        if (stopping_ || BoundedTaskQueue::turnedAway()) {
            sockets.close(socket);
            return false;
        }
        active_.insert(socket);
    }
    DeadlineStream stream(socket, BoundedTaskQueue::acceptedAt() + exchangeLimit_);
    bool closed = false;
    const bool ok = process_request(stream, true, closed, [](httplib::Request&) {});
    finish(socket);
    return ok;
}
