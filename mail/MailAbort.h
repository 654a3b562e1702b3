#pragma once
#include <atomic>
#include <mutex>

#include "platform/Sockets.h"

// Cuts one mail short from another thread. The SMTP client attaches the
// socket it is working on; abort() marks the mail as cancelled and shuts
// that socket down, which ends any wait on it at once. The socket is closed
// only by its owner, after it has detached it, so abort() never touches a
// socket number that has been reused.
class MailAbort {
public:
    // Any thread; the mail fails with 414 at its next step.
    void abort();
    bool aborted() const { return aborted_.load(); }

    // Attaches the socket the mail is working on. False, with nothing
    // attached, when the mail was already cancelled.
    bool attach(platform::Sockets& sockets, platform::SocketHandle socket);
    void detach();

private:
    std::mutex mutex_;
    std::atomic<bool> aborted_{false};
    platform::Sockets* sockets_ = nullptr;
    platform::SocketHandle socket_ = platform::kNoSocket;
};
