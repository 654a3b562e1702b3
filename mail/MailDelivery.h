#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "mail/OutgoingMail.h"

// The one thread that sends mails, so that nobody who raises an alert waits
// for a mail server. Mails wait in a queue and go out one after the other,
// each with its own time limits. Nothing is dropped: once the queue holds
// its capacity, a further alert mail is joined to the last alert mail that
// waits for the same recipients (its text and lines after that mail's), so
// a slow or absent server costs one long mail, not lost ones.
//
// After a mail, a failed alert is logged ("Sending alert email error: "
// and the client's text), every warning of any mail is logged, and the
// mail's done callback runs. The thread starts with the first mail. Its
// owner (the running program, a command) hands it to those who send.
class MailDelivery {
public:
    static constexpr std::size_t kDefaultCapacity = 32;
    // How long mails (and webhook posts) still get at exit before the rest
    // is given up: less than 5 s, so that with the cancelling and the rest
    // of the exit the program ends within 5 s of a stop request.
    static constexpr std::chrono::milliseconds kExitGrace{4000};

    explicit MailDelivery(std::size_t capacity = kDefaultCapacity);
    // Shuts down without grace.
    ~MailDelivery();
    MailDelivery(const MailDelivery&) = delete;
    MailDelivery& operator=(const MailDelivery&) = delete;

    // Queues a mail and returns at once; any thread.
    void enqueue(OutgoingMail mail);

    // Lets the mail in flight and those waiting go on for up to `grace`,
    // then cancels the one in flight (its socket is shut down, so it ends
    // at once whatever the server does) and gives up the rest, each logged
    // as not sent and reported to its done callback. Returns when the thread
    // has ended. Mails queued afterwards start a new thread.
    void shutdown(std::chrono::milliseconds grace = kExitGrace);

    // Waits until no mail is waiting or in flight, at most `limit`; true when
    // that is so.
    bool waitIdle(std::chrono::milliseconds limit);

    struct Counts {
        std::size_t waiting = 0;
        bool inFlight = false;
        std::uint64_t queued = 0;  // ever handed in
        std::uint64_t sent = 0;
        std::uint64_t failed = 0;   // tried and not sent (cancelled ones included)
        std::uint64_t joined = 0;   // joined to a waiting mail in a full queue
        std::uint64_t notSent = 0;  // given up at shutdown without a try
    };
    Counts counts() const;

private:
    struct State;
    static void run(std::shared_ptr<State> state);

    const std::size_t capacity_;
    std::mutex shutdown_;         // one shutdown at a time
    mutable std::mutex control_;  // guards state_ and thread_
    std::shared_ptr<State> state_;
    std::thread thread_;
};
