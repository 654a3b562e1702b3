#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/CommandSocket.h"
#include "supervision/CommandResult.h"

class StatusBoard;
class Supervisor;

// Serves `ctl` on the local command socket. A worker thread accepts the
// clients, checks who they are and reads their command; status is answered
// there from the published snapshot. start, stop and restart are handed to
// the loop's thread (through `wake`, which gets that thread to call
// runQueued), given to the Supervisor as its commands, and answered once
// done: a stop when the process has gone.
//
// An answer is the exit code for ctl on its first line (0 done, 1 refused
// or failed), then the text to show.
class ControlServer {
public:
    ControlServer(const StatusBoard& board, std::function<void()> wake);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Opens the socket at `path` and starts the worker. False with a
    // one-line reason; the supervisor then runs without control.
    bool start(const std::string& path, std::string& error);
    // On the loop's thread: runs the commands handed over since the last call.
    void runQueued(Supervisor& supervisor);
    // Answers what is still queued, closes the socket, ends the worker.
    void stop();

    // Root and the user the supervisor runs as may control it; no one else.
    static bool allowed(std::int64_t peerUid, std::int64_t ownUid);

private:
    struct Command {
        std::uint64_t id = 0;
        std::int64_t uid = -1;
        std::string verb;  // start, stop, restart
        std::string name;
        bool all = false;
    };

    void onRequest(platform::CommandRequest request);
    void run(Supervisor& supervisor, const Command& command);
    // The answer to a command, in ctl's words, once the Supervisor is done.
    CommandDone replyTo(std::uint64_t id, const std::string& verb, bool all);
    void answer(std::uint64_t id, int code, const std::string& text);

    const StatusBoard& board_;
    std::function<void()> wake_;
    std::unique_ptr<platform::CommandSocket> socket_;
    std::thread worker_;
    std::mutex queueMutex_;
    std::vector<Command> queue_;
    bool stopped_ = false;
    // Answers owed by stops under way check it: they may end after this.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};
