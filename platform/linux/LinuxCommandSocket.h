#pragma once
#include <sys/types.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/CommandSocket.h"

namespace platform {

// A Unix stream socket with mode 0600 in a 0700 directory. The worker
// thread polls the listening socket, its clients and a pipe that reply()
// and close() write to, so one thread serves any number of clients, and a
// client waiting for a slow answer (a stop that takes its time-out) never
// holds up the next one. Clients are capped (commandClientLimit): the one
// idle longest gives way to a new one, and when the process runs out of
// descriptors a reserved one lets it still turn clients away instead of
// finding the same pending connection again and again.
class LinuxCommandSocket : public CommandSocket {
public:
    LinuxCommandSocket();
    ~LinuxCommandSocket() override;
    bool open(const std::string& path, std::string& error) override;
    void serve(std::function<void(CommandRequest)> onRequest) override;
    void reply(std::uint64_t id, std::string text) override;
    void notice(std::uint64_t id, std::string text) override;
    void close() override;

    // Makes `directory` (mode 0700) if it is missing, and checks that it
    // is a directory of this user that no other user can enter.
    static bool preparePrivateDirectory(const std::string& directory, std::string& error);

private:
    struct Client {
        int fd = -1;
        std::uint64_t id = 0;
        std::int64_t uid = -1;
        std::int64_t pid = 0;
        std::string in;
        std::string out;  // what is still to be written: notices, then the answer
        std::size_t written = 0;
        // Reading: its command; Waiting: for the answer (notices may go out
        // meanwhile); Writing: the answer, then the connection is closed.
        enum class State { Reading, Waiting, Writing } state = State::Reading;
        long long deadline = 0;  // monotonic ms: reading or writing must end by then
    };
    struct Outgoing {
        std::uint64_t id = 0;
        std::string text;
        bool answer = false;  // else a notice
    };

    void acceptClients();
    // A client that the limit or the descriptors do not allow: told so, closed.
    void turnAway(int fd);
    // Closes the client that has waited longest without sending a command;
    // false when there is none.
    bool dropOldestIdle();
    // False once the client is done with (answered, gone or too slow).
    bool readFrom(Client& client, const std::function<void(CommandRequest)>& onRequest);
    bool writeTo(Client& client);
    void takeReplies();
    void queue(Outgoing outgoing);

    std::string path_;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    int reserveFd_ = -1;  // given up for a moment when descriptors run out
    int clientLimit_ = 8;
    long long acceptPausedUntil_ = 0;  // monotonic ms
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::atomic<bool> closing_{false};
    std::uint64_t lastId_ = 0;
    std::vector<Client> clients_;
    std::mutex repliesMutex_;
    std::deque<Outgoing> replies_;
};

}  // namespace platform
