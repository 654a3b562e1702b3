#pragma once
#include <cstdint>
#include <optional>
#include <string>

// How one post to a chat robot or receiver ended.
struct PostOutcome {
    enum class Result {
        Delivered,  // the service took it
        Refused,    // an answer that no repetition changes (signature, keyword, size, format, URL)
        Retry,      // worth another try later (network, time-out, 5xx, 429, a rate-limit code)
        Cancelled,  // cut short at exit
    };

    Result result = Result::Delivered;
    // Why it was not delivered, in the service's own words where it gave any.
    std::string error;
    // The service said it gets too many posts: nothing goes to it before the
    // wait is over.
    bool rateLimited = false;
    // How long the service asked to wait (Retry-After), in milliseconds.
    std::optional<std::int64_t> retryAfterMs;
};
