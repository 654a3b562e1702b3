#pragma once
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

// The alerts a channel could not deliver (refused, given up after its
// retries, or cut off at exit), kept so that the next message that goes
// through names them: "3 alerts could not be sent: game01 down (SIGKILL),
// ...". Messages go out one at a time per channel; any thread may call.
class UnsentAlerts {
public:
    // Alerts, each in a few words, that could not be sent.
    void add(const std::vector<std::string>& alerts);

    // The note for the message about to go, naming every alert not yet
    // named; empty when there is none, or when the message before already
    // carries them (two mails joined into one take it once). The alerts stay
    // until delivered() or notDelivered() says how that message fared.
    std::string take();
    // The message that took the note was delivered: those alerts are named.
    void delivered();
    // It was not: the next message takes them again.
    void notDelivered();

    // Alerts not yet named in a delivered message.
    std::size_t size() const;

    // "1 alert could not be sent: a", "3 alerts could not be sent: a, b, c"
    // (at most 100 named, then "…").
    static std::string note(const std::vector<std::string>& alerts);

private:
    mutable std::mutex mutex_;
    std::vector<std::string> alerts_;
    std::size_t taken_ = 0;  // the first ones, on their way in a message
};
