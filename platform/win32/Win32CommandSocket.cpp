#include "platform/win32/Win32CommandSocket.h"

#include <sddl.h>

#include <algorithm>
#include <chrono>

#include "platform/System.h"
#include "platform/SystemService.h"
#include "platform/win32/Win32WideText.h"

namespace platform {
namespace {

constexpr DWORD kPipeBuffer = 64 * 1024;

long long monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string lastError() { return errorText(static_cast<int>(::GetLastError())); }

// The user a token belongs to, as a SID in `buffer`; null when it cannot
// be read.
PSID tokenUser(HANDLE token, std::vector<char>& buffer) {
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return nullptr;
    buffer.resize(size);
    if (!::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return nullptr;
    return reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
}

PSID processUser(HANDLE process, std::vector<char>& buffer) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &token)) return nullptr;
    PSID sid = tokenUser(token, buffer);
    ::CloseHandle(token);
    return sid;
}

PSID ownUser(std::vector<char>& buffer) { return processUser(::GetCurrentProcess(), buffer); }

std::string sidText(PSID sid) {
    char* text = nullptr;
    if (!sid || !::ConvertSidToStringSidA(sid, &text)) return {};
    std::string result = text;
    ::LocalFree(text);
    return result;
}

// The number a user is shown and compared by: 0 for the system account (as
// root is elsewhere), else the last part of the SID, which tells the
// accounts of one machine apart.
std::int64_t userNumber(PSID sid) {
    if (::IsWellKnownSid(sid, WinLocalSystemSid)) return 0;
    const UCHAR parts = *::GetSidSubAuthorityCount(sid);
    return parts == 0 ? -1 : static_cast<std::int64_t>(*::GetSidSubAuthority(sid, parts - 1u));
}

}  // namespace

Win32CommandSocket::Win32CommandSocket() = default;

Win32CommandSocket::~Win32CommandSocket() {
    close();
    for (auto& client : clients_)
        if (client->pipe != INVALID_HANDLE_VALUE) ::CloseHandle(client->pipe);
    if (port_) ::CloseHandle(port_);
    if (security_) ::LocalFree(security_);
}

bool Win32CommandSocket::open(const std::string& path, std::string& error) {
    std::vector<char> own;
    const std::string user = sidText(ownUser(own));
    if (user.empty()) {
        error = "cannot tell which user this is: " + lastError();
        return false;
    }
    // Full access for this user and the system account, nobody else; not
    // inherited from anywhere. The service's pipe: the system account and
    // administrators (an elevated one; UAC leaves the others' membership
    // for denials only).
    service_ = path == serviceCommandSocketPath();
    const std::string descriptor = "D:P(A;;GA;;;SY)(A;;GA;;;" + (service_ ? std::string("BA") : user) + ")";
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(descriptor.c_str(), SDDL_REVISION_1, &security_,
                                                                nullptr)) {
        error = "cannot make the pipe's access list: " + lastError();
        return false;
    }
    port_ = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (!port_) {
        error = "cannot create a completion port: " + lastError();
        return false;
    }
    path_ = path;
    // A pipe of that name is a running copy, since a pipe ends with its
    // process. Asked here as well as by the first instance's flag below,
    // which not every implementation of the calls honours (Wine does not).
    if (::WaitNamedPipeW(wideText(path).c_str(), 1) || ::GetLastError() == ERROR_SEM_TIMEOUT) {
        error = "another supervisor already listens on " + path;
        return false;
    }
    return listen(true, error);
}

bool Win32CommandSocket::listen(bool first, std::string& error) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security_, FALSE};
    // The first instance must be the first of its name.
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const HANDLE pipe = ::CreateNamedPipeW(wideText(path_).c_str(), openMode,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT |
                                               PIPE_REJECT_REMOTE_CLIENTS,
                                           PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, &attributes);
    if (pipe == INVALID_HANDLE_VALUE) {
        const DWORD cause = ::GetLastError();
        error = first && (cause == ERROR_ACCESS_DENIED || cause == ERROR_PIPE_BUSY)
                    ? "another supervisor already listens on " + path_
                    : "cannot create the pipe " + path_ + ": " + errorText(static_cast<int>(cause));
        return false;
    }
    auto client = std::make_unique<Client>();
    client->pipe = pipe;
    if (!::CreateIoCompletionPort(pipe, port_, reinterpret_cast<ULONG_PTR>(client.get()), 0)) {
        error = "cannot watch the pipe: " + lastError();
        ::CloseHandle(pipe);
        return false;
    }
    client->state = Client::State::Connecting;
    if (!::ConnectNamedPipe(pipe, &client->overlapped)) {
        const DWORD cause = ::GetLastError();
        if (cause == ERROR_PIPE_CONNECTED) {
            // The client came between the two calls and no completion is
            // queued for it: queue one, so that every client starts alike.
            ::PostQueuedCompletionStatus(port_, 0, reinterpret_cast<ULONG_PTR>(client.get()), &client->overlapped);
        } else if (cause != ERROR_IO_PENDING) {
            error = "cannot wait for clients on " + path_ + ": " + errorText(static_cast<int>(cause));
            ::CloseHandle(pipe);
            return false;
        }
    }
    client->pending = true;
    clients_.push_back(std::move(client));
    listening_ = true;
    return true;
}

bool Win32CommandSocket::dropOldestIdle() {
    Client* oldest = nullptr;
    for (auto& other : clients_)
        if (other->state == Client::State::Reading && (!oldest || other->id < oldest->id)) oldest = other.get();
    if (!oldest) return false;
    drop(*oldest);
    return true;
}

void Win32CommandSocket::connected(Client& client) {
    const auto served = std::count_if(clients_.begin(), clients_.end(), [](const auto& c) {
        return c->state != Client::State::Connecting && c->state != Client::State::Closed;
    });
    // Over the limit: the client idle longest makes room, or, when every
    // one has sent its command, the new one is not served.
    if (served >= clientLimit_ && !dropOldestIdle()) {
        drop(client);
        return;
    }
    client.id = ++lastId_;
    client.state = Client::State::Reading;
    client.deadline = monotonicMs() + kCommandClientTimeoutMs;
    // Who the client is, by the user of its process as the system tells.
    ULONG pid = 0;
    if (::GetNamedPipeClientProcessId(client.pipe, &pid)) {
        client.pid = static_cast<std::int64_t>(pid);
        const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (process) {
            std::vector<char> theirs, own;
            const PSID peer = processUser(process, theirs);
            const PSID self = ownUser(own);
            if (service_ && peer) {
                // Only the system account and administrators can open the
                // service's pipe: each may command it, as root may on Linux.
                client.uid = 0;
            } else if (peer && self && ::EqualSid(peer, self)) {
                client.uid = currentUserId();
            } else if (peer) {
                // Another user: shown by its number, which must then not be
                // taken for this user's own.
                const std::int64_t number = userNumber(peer);
                client.uid = number == currentUserId() ? -1 : number;
            }
            ::CloseHandle(process);
        }
    }
    startRead(client);
}

void Win32CommandSocket::startRead(Client& client) {
    if (::ReadFile(client.pipe, client.buffer, sizeof client.buffer, nullptr, &client.overlapped) ||
        ::GetLastError() == ERROR_IO_PENDING || ::GetLastError() == ERROR_MORE_DATA) {
        // A read that ends at once still queues its completion.
        client.pending = true;
        return;
    }
    drop(client);
}

void Win32CommandSocket::sendNext(Client& client) {
    if (client.pending || client.outbox.empty()) return;
    client.out = std::move(client.outbox.front());
    client.outbox.pop_front();
    if (client.answered && client.outbox.empty()) {
        startWrite(client);
        return;
    }
    // A notice: the client keeps waiting for its answer.
    if (::WriteFile(client.pipe, client.out.data(), static_cast<DWORD>(client.out.size()), nullptr,
                    &client.overlapped) ||
        ::GetLastError() == ERROR_IO_PENDING) {
        client.pending = true;
        return;
    }
    drop(client);
}

void Win32CommandSocket::startWrite(Client& client) {
    client.state = Client::State::Writing;
    client.deadline = monotonicMs() + kCommandClientTimeoutMs;
    if (::WriteFile(client.pipe, client.out.data(), static_cast<DWORD>(client.out.size()), nullptr,
                    &client.overlapped) ||
        ::GetLastError() == ERROR_IO_PENDING) {
        client.pending = true;
        return;
    }
    drop(client);
}

void Win32CommandSocket::drop(Client& client) {
    if (client.pipe != INVALID_HANDLE_VALUE) {
        // Ends any I/O in flight; its completion still comes and is ignored.
        ::CloseHandle(client.pipe);
        client.pipe = INVALID_HANDLE_VALUE;
    }
    client.state = Client::State::Closed;
}

void Win32CommandSocket::completed(Client& client, DWORD bytes, DWORD error,
                                   const std::function<void(CommandRequest)>& onRequest) {
    switch (client.state) {
        case Client::State::Connecting:
            listening_ = false;
            if (error != 0 && error != ERROR_PIPE_CONNECTED) {
                drop(client);
                return;
            }
            connected(client);
            return;
        case Client::State::Reading: {
            const bool ended = error != 0 && error != ERROR_MORE_DATA;
            if (!ended) client.in.append(client.buffer, bytes);
            CommandRequest request;
            bool refused = false;
            if (!takeRequestLine(client.in, ended, request.line, refused)) {
                if (refused)
                    drop(client);
                else
                    startRead(client);
                return;
            }
            request.id = client.id;
            request.peerUid = client.uid;
            request.peerPid = client.pid;
            client.state = Client::State::Waiting;
            onRequest(std::move(request));
            return;
        }
        case Client::State::Writing:
            if (error != 0 || bytes != client.out.size()) {
                drop(client);
                return;
            }
            // Closing now could throw away what the client has not read
            // yet: wait for it to close its end.
            client.state = Client::State::Draining;
            client.deadline = monotonicMs() + kCommandClientTimeoutMs;
            startRead(client);
            return;
        case Client::State::Waiting:
            // A notice was written; the answer or another notice may follow.
            if (error != 0 || bytes != client.out.size()) {
                drop(client);
                return;
            }
            sendNext(client);
            return;
        case Client::State::Draining:
            drop(client);
            return;
        case Client::State::Closed:
            return;
    }
}

void Win32CommandSocket::takeReplies() {
    std::deque<Outgoing> ready;
    {
        std::lock_guard<std::mutex> lock(repliesMutex_);
        ready.swap(replies_);
    }
    for (Outgoing& outgoing : ready) {
        const auto found =
            std::find_if(clients_.begin(), clients_.end(), [&](const auto& c) { return c->id == outgoing.id; });
        if (found == clients_.end() || (*found)->state != Client::State::Waiting || (*found)->answered) continue;
        Client& client = **found;
        client.outbox.push_back(std::move(outgoing.text));
        if (outgoing.answer) client.answered = true;
        sendNext(client);
    }
}

void Win32CommandSocket::serve(std::function<void(CommandRequest)> onRequest) {
    if (!port_) return;
    while (!closing_) {
        takeReplies();
        const long long now = monotonicMs();
        long long nearest = -1;
        for (auto it = clients_.begin(); it != clients_.end();) {
            Client& client = **it;
            const bool timed = client.state == Client::State::Reading || client.state == Client::State::Writing ||
                               client.state == Client::State::Draining;
            if (timed && now >= client.deadline) drop(client);
            if (client.state == Client::State::Closed && !client.pending) {
                it = clients_.erase(it);
                continue;
            }
            if (timed && client.state != Client::State::Closed && (nearest < 0 || client.deadline < nearest))
                nearest = client.deadline;
            ++it;
        }
        if (!listening_) {
            std::string error;
            // Out of pipe instances or handles: the next round tries again.
            if (!listen(false, error) && (nearest < 0 || now + 1000 < nearest)) nearest = now + 1000;
        }
        const DWORD timeout = nearest < 0 ? INFINITE : static_cast<DWORD>(std::max(0LL, nearest - now) + 1);

        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        const BOOL ok = ::GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, timeout);
        if (!overlapped) {
            // A wake-up from reply() or close(), or the time-out.
            if (!ok && ::GetLastError() != WAIT_TIMEOUT) break;
            continue;
        }
        Client& client = *reinterpret_cast<Client*>(key);
        client.pending = false;
        completed(client, bytes, ok ? 0 : ::GetLastError(), onRequest);
    }

    // Answers given before the close (the answer to a shutdown, those of
    // commands that could not run any more) are written first, for a moment
    // at most.
    takeReplies();
    const long long flushUntil = monotonicMs() + 500;
    auto writing = [this] {
        return std::any_of(clients_.begin(), clients_.end(),
                           [](const auto& c) { return c->pending && c->state == Client::State::Writing; });
    };
    while (writing() && monotonicMs() < flushUntil) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        const BOOL ok = ::GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, 50);
        if (!overlapped) continue;
        Client& client = *reinterpret_cast<Client*>(key);
        client.pending = false;
        completed(client, bytes, ok ? 0 : ::GetLastError(), onRequest);
    }

    // Every pipe is closed, and the completions of the I/O this cancels are
    // waited for: the system writes into the clients' memory until then.
    for (auto& client : clients_) drop(*client);
    const long long giveUp = monotonicMs() + 1000;
    while (std::any_of(clients_.begin(), clients_.end(), [](const auto& c) { return c->pending; }) &&
           monotonicMs() < giveUp) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        ::GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, 100);
        if (overlapped) reinterpret_cast<Client*>(key)->pending = false;
    }
    // What is still in flight then keeps its memory: leaked, not reused.
    for (auto& client : clients_)
        if (client->pending) client.release();
    clients_.clear();
}

void Win32CommandSocket::reply(std::uint64_t id, std::string text) {
    {
        std::lock_guard<std::mutex> lock(repliesMutex_);
        replies_.push_back(Outgoing{id, std::move(text), true});
    }
    if (port_) ::PostQueuedCompletionStatus(port_, 0, 0, nullptr);
}

void Win32CommandSocket::notice(std::uint64_t id, std::string text) {
    {
        std::lock_guard<std::mutex> lock(repliesMutex_);
        replies_.push_back(Outgoing{id, std::move(text), false});
    }
    if (port_) ::PostQueuedCompletionStatus(port_, 0, 0, nullptr);
}

void Win32CommandSocket::close() {
    if (closing_.exchange(true)) return;
    if (port_) ::PostQueuedCompletionStatus(port_, 0, 0, nullptr);
}

std::unique_ptr<CommandSocket> makeCommandSocket() { return std::make_unique<Win32CommandSocket>(); }

std::string serviceCommandSocketPath() { return "\\\\.\\pipe\\procward-ctl-service"; }

std::string commandSocketPath() {
    // The service has a name of its own, which administrators find whoever
    // they are.
    if (runningAsService()) return serviceCommandSocketPath();
    // One pipe per user, named by the user's SID, which no other account
    // shares; names of accounts can repeat across domains.
    std::vector<char> own;
    const std::string user = sidText(ownUser(own));
    return "\\\\.\\pipe\\procward-ctl-" + (user.empty() ? std::string("unknown") : user);
}

std::int64_t currentUserId() {
    std::vector<char> own;
    const PSID sid = ownUser(own);
    return sid ? userNumber(sid) : -1;
}

namespace {

// One overlapped read or write on the client's pipe, waited for until
// `deadline`; on time-out the I/O is cancelled. False with `timedOut` set
// when the time ran out, else with the system's error in `error`.
bool transfer(HANDLE pipe, bool write, char* data, DWORD size, DWORD& done, long long deadline, bool& timedOut,
              DWORD& error) {
    timedOut = false;
    error = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent) {
        error = ::GetLastError();
        return false;
    }
    const BOOL started = write ? ::WriteFile(pipe, data, size, nullptr, &overlapped)
                               : ::ReadFile(pipe, data, size, nullptr, &overlapped);
    if (!started && ::GetLastError() != ERROR_IO_PENDING && ::GetLastError() != ERROR_MORE_DATA) {
        error = ::GetLastError();
        ::CloseHandle(overlapped.hEvent);
        return false;
    }
    const long long left = std::max(0LL, deadline - monotonicMs());
    if (::WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(std::min(left, 86400000LL))) != WAIT_OBJECT_0) {
        ::CancelIo(pipe);
        timedOut = true;
    }
    const BOOL ok = ::GetOverlappedResult(pipe, &overlapped, &done, TRUE);
    if (!ok) error = ::GetLastError();
    ::CloseHandle(overlapped.hEvent);
    if (timedOut) return false;
    return ok || error == ERROR_MORE_DATA;
}

}  // namespace

CommandResult sendCommand(const std::string& path, const std::string& line, std::string& reply, std::string& error,
                          long long timeoutMs) {
    reply.clear();
    long long deadline = monotonicMs() + timeoutMs;
    const std::string noAnswer = "no answer from the supervisor on " + path;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (;;) {
        pipe = ::CreateFileW(wideText(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) break;
        const DWORD cause = ::GetLastError();
        if (cause == ERROR_FILE_NOT_FOUND) return CommandResult::NoInstance;
        if (cause != ERROR_PIPE_BUSY) {
            error = "cannot connect to " + path + ": " + errorText(static_cast<int>(cause));
            return CommandResult::Failed;
        }
        // Every instance is taken: the supervisor makes the next one as it
        // takes a client, unless it takes none.
        const long long left = deadline - monotonicMs();
        if (left <= 0) {
            error = noAnswer;
            return CommandResult::TimedOut;
        }
        ::WaitNamedPipeW(wideText(path).c_str(), static_cast<DWORD>(std::min(left, 1000LL)));
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    auto fail = [&](CommandResult result, std::string why) {
        ::CloseHandle(pipe);
        error = std::move(why);
        return result;
    };
    std::string request = line + "\n";
    DWORD written = 0;
    bool timedOut = false;
    DWORD cause = 0;
    if (!transfer(pipe, true, request.data(), static_cast<DWORD>(request.size()), written, deadline, timedOut, cause) ||
        written != request.size())
        return timedOut ? fail(CommandResult::TimedOut, noAnswer)
                        : fail(CommandResult::Failed, "cannot send to " + path + ": " + errorText(static_cast<int>(cause)));
    // Each message is read in as many parts as it takes; progress notices
    // come as messages of their own before the answer.
    char buffer[4096];
    std::string message;
    for (;;) {
        DWORD n = 0;
        const bool ok = transfer(pipe, false, buffer, sizeof buffer, n, deadline, timedOut, cause);
        message.append(buffer, n);
        if (timedOut) return fail(CommandResult::TimedOut, noAnswer);
        if (!ok && cause == ERROR_BROKEN_PIPE) break;
        if (!ok)
            return fail(CommandResult::Failed, "cannot read the answer: " + errorText(static_cast<int>(cause)));
        if (cause == ERROR_MORE_DATA) continue;
        long long seconds = 0;
        if (takeProgressNotice(message, seconds) && message.empty()) {
            deadline = monotonicMs() + seconds * 1000 + timeoutMs;
            continue;
        }
        break;
    }
    ::CloseHandle(pipe);
    reply = message;
    if (reply.empty()) {
        error = "the supervisor closed the connection without an answer";
        return CommandResult::Failed;
    }
    return CommandResult::Answered;
}

}  // namespace platform
