#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/NetworkProbe.h"

// Looks at servers over the network without a thread per look: many looks
// are under way at once, each bounded by its own limit, and a slow or hung
// server holds up none of the others. What the looks find is handed over in
// batches on the prober's own thread.
namespace platform {

struct ProbeRequest {
    bool http = false;  // false: a TCP connect only
    std::string host;   // an IPv4 or IPv6 address (without brackets) or a name
    std::uint16_t port = 0;
    std::string path = "/";  // http: path and query
    std::chrono::milliseconds limit{3000};
    std::size_t maxBody = 0;  // http: how much of the body is kept
};

// What a look found: for a connect, `status` and `body` stay empty.
using ProbeAnswer = HttpProbe;

class NetworkProber {
public:
    using Answers = std::vector<std::pair<std::uint64_t, ProbeAnswer>>;
    using Requests = std::vector<std::pair<std::uint64_t, ProbeRequest>>;
    // Gets the answers that came together; called on the prober's thread,
    // never once the prober is destroyed.
    using Done = std::function<void(Answers& answers)>;

    virtual ~NetworkProber() = default;
    // Starts looks, each under its ticket (the caller's, unique among those
    // under way); their answers come through `Done`.
    virtual void start(Requests requests) = 0;
    // Gives up the look under `ticket`: its connection is closed and no
    // answer comes for it (one already handed over stays handed over).
    virtual void cancel(std::uint64_t ticket) = 0;
    // Looks under way or waiting to start (benchmarks and tests).
    virtual std::size_t underWay() const = 0;
};

std::unique_ptr<NetworkProber> makeNetworkProber(NetworkProber::Done done);

}  // namespace platform
