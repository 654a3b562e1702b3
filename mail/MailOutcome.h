#pragma once
#include <string>
#include <vector>

// How one mail ended.
struct MailOutcome {
    enum class Status {
        Sent,     // the server took it
        Failed,   // the exchange failed (or there was no recipient)
        NotSent,  // still waiting when the program ended
    };

    Status status = Status::Failed;
    // Why it was not sent: the client's error text (empty for a mail without
    // recipients), or what became of a mail that was never tried.
    std::string errorText;
    // What went wrong without stopping the mail (refused recipients, a TLS
    // session without certificate check).
    std::vector<std::string> warnings;

    bool sent() const { return status == Status::Sent; }
};
