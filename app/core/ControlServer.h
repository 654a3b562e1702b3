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
// there from the published snapshot. start, stop, kill, restart, reload and
// shutdown are handed to the loop's thread (through `wake`, which gets that
// thread to call runQueued), given to the Supervisor as its commands (or to
// the actions for reload and shutdown), and answered once done: a stop when
// the process has gone. A command that has to wait for a process tells the
// client at once how long that may take (a progress notice), so that ctl
// can tell a supervisor at work from one that does not answer.
//
// An answer is the exit code for ctl on its first line (0 done, 1 refused
// or failed), then the text to show.
class ControlServer {
public:
    // What `ctl reload` and `ctl shutdown` do, on the loop's thread.
    struct Actions {
        // Reads the files again: true when applied (`dryRun`: would be
        // applied, nothing is); `text` is the answer.
        std::function<bool(std::string& text, bool dryRun)> reload;
        // Asks the program to end once this round of the loop is over.
        std::function<void()> shutdown;
        // The kept copies of the server list, as text; false when they
        // cannot be listed.
        std::function<bool(std::string& text)> backups;
        // Brings copy `number` back as the list and applies it: true when
        // applied; `text` is the answer.
        std::function<bool(int number, std::string& text)> restore;
        // list, add, set and remove: `name` the entry's (set, remove),
        // `payload` the JSON object of the new entry (add) or of the keys
        // to set (set). True when done; `text` is the answer.
        std::function<bool(const std::string& verb, const std::string& name, const std::string& payload, bool json,
                           std::string& text)>
            editList;
    };

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
    // Without them, reload and shutdown are refused.
    void setActions(Actions actions) { actions_ = std::move(actions); }

    // Root and the user the supervisor runs as may control it; no one else.
    static bool allowed(std::int64_t peerUid, std::int64_t ownUid);

private:
    struct Command {
        std::uint64_t id = 0;
        std::int64_t uid = -1;
        std::string verb;  // start, stop, kill, restart, signal, check, reload, shutdown
        std::string name;
        bool all = false;
        bool group = false;   // signal: to the process group
        bool dryRun = false;  // reload: say what, apply nothing
        std::string signal;   // signal: its name ("HUP")
        int generation = 0;   // restore: the copy's number
        std::string payload;  // add: the entry; set: the keys (JSON objects)
        bool json = false;    // list --json
    };

    void onRequest(platform::CommandRequest request);
    void run(Supervisor& supervisor, const Command& command);
    // The answer to a command, in ctl's words, once the Supervisor is done.
    CommandDone replyTo(std::uint64_t id, const std::string& verb, bool all, const std::string& signal = {});
    void answer(std::uint64_t id, int code, const std::string& text);

    const StatusBoard& board_;
    std::function<void()> wake_;
    Actions actions_;
    std::unique_ptr<platform::CommandSocket> socket_;
    std::thread worker_;
    std::mutex queueMutex_;
    std::vector<Command> queue_;
    bool stopped_ = false;
    // Answers owed by stops under way check it: they may end after this.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};
