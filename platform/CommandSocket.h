#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// One request read from a local client: a line of text and who sent it, as
// the kernel tells (not as the client claims).
struct CommandRequest {
    std::uint64_t id = 0;         // for reply()
    std::int64_t peerUid = -1;    // -1 when the system could not tell
    std::int64_t peerPid = 0;
    std::string line;             // without its line end
};

// The local socket of a running supervisor, on which `ctl` talks to it. One
// thread runs serve(): it accepts clients, reads one line from each and
// hands it on; the reply may come later and from any thread. Nothing here
// decides who may do what.
class CommandSocket {
public:
    virtual ~CommandSocket() = default;
    // Creates the socket at `path`, readable and writable by this user only,
    // in a directory only this user can enter (made if missing). A socket
    // left behind by a copy that has ended is replaced; one that still
    // answers is not. False with a one-line reason.
    virtual bool open(const std::string& path, std::string& error) = 0;
    // Runs on the calling thread until close(): calls `onRequest` (on this
    // thread) for every request read. A client that sends nothing within a
    // few seconds is dropped.
    virtual void serve(std::function<void(CommandRequest)> onRequest) = 0;
    // The answer to a request; written, then that client's connection is
    // closed. From any thread; an unknown id (a client gone) is ignored.
    virtual void reply(std::uint64_t id, std::string text) = 0;
    // Text for a client that still waits for its answer (progressNotice);
    // the connection stays. From any thread; an unknown id is ignored.
    virtual void notice(std::uint64_t id, std::string text) = 0;
    // Ends serve() and removes the socket file; from any thread. Answers
    // given before are still written, as far as the clients take them at
    // once.
    virtual void close() = 0;
};

std::unique_ptr<CommandSocket> makeCommandSocket();

// What a client has sent so far, `in`, once read up to its line end: the
// line (without its line end) is moved into `line` and true is returned.
// `ended`: the client can send no more, so what it sent is its line. False
// while more must be read, and also, with `refused` set, when the client
// has sent too much without a line end, or nothing before it left.
bool takeRequestLine(std::string& in, bool ended, std::string& line, bool& refused);

// A client gets this long to send its line, and to take its answer.
constexpr long long kCommandClientTimeoutMs = 5000;

// Connections the supervisor keeps waiting to be accepted.
constexpr int kCommandBacklog = 128;

// The most clients served at once with `fileLimit` descriptors allowed to
// the process: a quarter of them, from 8 to 128, so that clients can never
// take the descriptors a launch or the log needs. Over it, the client that
// has waited longest without sending its command makes room; when every
// client has sent one, a new client is told kBusyAnswer and closed.
int commandClientLimit(long long fileLimit);
extern const char* const kBusyAnswer;

// The lines a supervisor may send before its answer, while it works on the
// command: "+SECONDS\n", the answer comes within that many seconds.
std::string progressNotice(long long seconds);
// Takes such lines from the start of what a client has received: false
// when `received` does not start with a whole one; otherwise the line is
// removed and its number is in `seconds`.
bool takeProgressNotice(std::string& received, long long& seconds);

// Where this user's supervisor listens: $XDG_RUNTIME_DIR/procward/ctl.sock
// when XDG_RUNTIME_DIR is set, /run/procward/ctl.sock for root, else
// /tmp/procward-<uid>/ctl.sock.
std::string commandSocketPath();

// Where the supervisor run as a system service listens, when it does so
// apart from every user's own copy (Windows: \\.\pipe\procward-ctl-service,
// which administrators and the system account may open); empty where the
// service listens where any copy does. commandSocketPath is this path while
// running as that service.
std::string serviceCommandSocketPath();

// The user this process runs as.
std::int64_t currentUserId();

enum class CommandResult {
    Answered,    // `reply` holds the whole answer
    NoInstance,  // nothing listens there
    Failed,      // something listens but the exchange failed: `error` says why
    TimedOut,    // the supervisor did not answer in time
};

// Sends one line to the supervisor at `path` and reads its whole answer.
// The supervisor has `timeoutMs` to take the connection and to answer;
// each progress notice gives it the time it names plus `timeoutMs` again.
CommandResult sendCommand(const std::string& path, const std::string& line, std::string& reply, std::string& error,
                          long long timeoutMs);

}  // namespace platform
