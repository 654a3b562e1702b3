#pragma once
#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/CommandSocket.h"

namespace platform {

// A local named pipe in message mode that only this user (and the system
// account) may open. Every client has a pipe instance of its own, and all
// of their reads and writes complete on one completion port, so one thread
// serves any number of clients, and a client waiting for a slow answer (a
// stop that takes its time-out) never holds up the next one.
class Win32CommandSocket : public CommandSocket {
public:
    Win32CommandSocket();
    ~Win32CommandSocket() override;
    bool open(const std::string& path, std::string& error) override;
    void serve(std::function<void(CommandRequest)> onRequest) override;
    void reply(std::uint64_t id, std::string text) override;
    void notice(std::uint64_t id, std::string text) override;
    void close() override;

private:
    struct Client {
        OVERLAPPED overlapped{};  // of the one read, write or connect in flight
        HANDLE pipe = INVALID_HANDLE_VALUE;
        bool pending = false;     // `overlapped` is in use
        std::uint64_t id = 0;
        std::int64_t uid = -1;
        std::int64_t pid = 0;
        // Connecting: waits for a client; Reading: its request; Waiting: for
        // the answer (notices may be written meanwhile); Writing: the answer;
        // Draining: for the client to close after it has read the answer;
        // Closed: waits for its last I/O to end.
        enum class State { Connecting, Reading, Waiting, Writing, Draining, Closed } state = State::Connecting;
        std::string in;
        std::string out;                  // the message being written
        std::deque<std::string> outbox;   // messages still to write, in order
        bool answered = false;            // the answer is in the outbox
        long long deadline = 0;  // monotonic ms, except while connecting or waiting
        char buffer[4096];
    };

    // A new pipe instance that waits for the next client.
    bool listen(bool first, std::string& error);
    void completed(Client& client, DWORD bytes, DWORD error, const std::function<void(CommandRequest)>& onRequest);
    void connected(Client& client);
    void startRead(Client& client);
    void startWrite(Client& client);
    // Writes the next message of the outbox, if no write is under way.
    void sendNext(Client& client);
    // Makes room for a new client: the one that has waited longest without
    // sending its command goes. False when there is none.
    bool dropOldestIdle();
    void drop(Client& client);
    void takeReplies();

    std::string path_;
    HANDLE port_ = nullptr;
    PSECURITY_DESCRIPTOR security_ = nullptr;  // of every pipe instance: this user and the system only
    bool service_ = false;  // the service's pipe: the system and administrators
    bool listening_ = false;
    std::atomic<bool> closing_{false};
    std::uint64_t lastId_ = 0;
    std::vector<std::unique_ptr<Client>> clients_;
    std::mutex repliesMutex_;
    struct Outgoing {
        std::uint64_t id = 0;
        std::string text;
        bool answer = false;
    };
    std::deque<Outgoing> replies_;
    int clientLimit_ = commandClientLimit(512);
};

}  // namespace platform
