#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// Blocking looks at a server over the network, each bounded by its time
// limit: for a worker thread, never for the checking one. The host is an
// IPv4 or IPv6 address (without brackets) or a name.
namespace platform {

enum class ProbeEnd {
    Answered,  // connected (tcp), or a whole answer came (http)
    TimedOut,  // nothing, or not all of it, within the limit
    Failed,    // refused, unreachable, a broken answer: `error` says which
};

struct ConnectProbe {
    ProbeEnd end = ProbeEnd::Failed;
    std::string error;
};

// Opens a TCP connection to host:port and closes it again.
ConnectProbe probeConnect(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit);

struct HttpProbe {
    ProbeEnd end = ProbeEnd::Failed;
    int status = 0;     // of an answer
    std::string body;   // its first `maxBody` bytes
    std::string error;
};

// A GET of http://host:port`path` (the path with its query), following no
// redirect: the limit covers the connect and the whole answer.
HttpProbe probeHttp(const std::string& host, std::uint16_t port, const std::string& path,
                    std::chrono::milliseconds limit, std::size_t maxBody);

}  // namespace platform
