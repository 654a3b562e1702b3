#include "platform/linux/LinuxCommandSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {


long long monotonicMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string systemError(int error) {
    char buffer[256];
    return ::strerror_r(error, buffer, sizeof buffer);
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool fillAddress(const std::string& path, sockaddr_un& address, std::string& error) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "the socket path " + path + " is too long";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

void wakeUp(int fd) {
    const char byte = 1;
    if (::write(fd, &byte, 1) < 0) {
        // A full pipe already holds a wake.
    }
}

// Checks the directory a client is about to trust: it must belong to this
// user or to root, and no one else may write into it.
bool trustedDirectory(const std::string& directory, std::string& error) {
    struct stat st {};
    if (::lstat(directory.c_str(), &st) != 0) return true;  // nothing there: connect says so
    if (!S_ISDIR(st.st_mode) || (st.st_uid != ::geteuid() && st.st_uid != 0) || (st.st_mode & 0022) != 0) {
        error = directory + " is not a private directory of this user; not connecting through it";
        return false;
    }
    return true;
}

}  // namespace

LinuxCommandSocket::LinuxCommandSocket() {
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe_[0] = wakePipe_[1] = -1;
    reserveFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

LinuxCommandSocket::~LinuxCommandSocket() {
    close();
    for (Client& client : clients_) ::close(client.fd);
    if (listenFd_ >= 0) ::close(listenFd_);
    if (reserveFd_ >= 0) ::close(reserveFd_);
    for (int fd : wakePipe_)
        if (fd >= 0) ::close(fd);
}

bool LinuxCommandSocket::preparePrivateDirectory(const std::string& directory, std::string& error) {
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + directory + ": " + systemError(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(directory.c_str(), &st) != 0) {
        error = "cannot read " + directory + ": " + systemError(errno);
        return false;
    }
    // In a shared place such as /tmp another user could have made it first,
    // or put a link there.
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        error = directory + " is not a directory of this user";
        return false;
    }
    if ((st.st_mode & 0077) != 0 && ::chmod(directory.c_str(), 0700) != 0) {
        error = "cannot make " + directory + " private: " + systemError(errno);
        return false;
    }
    return true;
}

bool LinuxCommandSocket::open(const std::string& path, std::string& error) {
    if (wakePipe_[0] < 0) {
        error = "cannot create a pipe: " + systemError(errno);
        return false;
    }
    sockaddr_un address{};
    if (!fillAddress(path, address, error)) return false;
    if (!preparePrivateDirectory(directoryOf(path), error)) return false;

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            return false;
        }
        // A socket nobody answers on is what an ended copy leaves behind.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const bool answered = probe >= 0 && (::connect(probe, reinterpret_cast<const sockaddr*>(&address),
                                                       sizeof address) == 0 ||
                                             errno == EAGAIN);
        if (probe >= 0) ::close(probe);
        if (answered) {
            error = "another supervisor already listens on " + path;
            return false;
        }
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = "cannot remove the old socket " + path + ": " + systemError(errno);
            return false;
        }
    }

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = "cannot create a socket: " + systemError(errno);
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = "cannot bind " + path + ": " + systemError(errno);
        ::close(fd);
        return false;
    }
    // The directory already keeps others out; the mode says so again.
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd, kCommandBacklog) != 0 || ::lstat(path.c_str(), &st) != 0) {
        error = "cannot listen on " + path + ": " + systemError(errno);
        ::unlink(path.c_str());
        ::close(fd);
        return false;
    }
    rlimit files{};
    const long long fileLimit =
        ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY ? static_cast<long long>(files.rlim_cur)
                                                                                   : 1024;
    clientLimit_ = commandClientLimit(fileLimit);
    path_ = path;
    listenFd_ = fd;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return true;
}

void LinuxCommandSocket::turnAway(int fd) {
    // Short enough for the socket's buffer: written at once or not at all.
    if (::send(fd, kBusyAnswer, std::strlen(kBusyAnswer), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
    }
    ::close(fd);
}

bool LinuxCommandSocket::dropOldestIdle() {
    // Ids grow with every client: the smallest id is the oldest.
    auto oldest = clients_.end();
    for (auto it = clients_.begin(); it != clients_.end(); ++it)
        if (it->state == Client::State::Reading && (oldest == clients_.end() || it->id < oldest->id)) oldest = it;
    if (oldest == clients_.end()) return false;
    ::close(oldest->fd);
    clients_.erase(oldest);
    return true;
}

void LinuxCommandSocket::acceptClients() {
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno != EMFILE && errno != ENFILE) return;  // EAGAIN: all taken; else the next poll tries again
            // Out of descriptors: the pending client would make every poll
            // return at once. An idle client gives way, or the reserved
            // descriptor lets the new one be taken and turned away.
            if (dropOldestIdle()) continue;
            if (reserveFd_ >= 0) {
                ::close(reserveFd_);
                const int taken = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (taken >= 0) turnAway(taken);
                reserveFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                if (taken >= 0) continue;
            }
            // Nothing to give: clients are not taken for a moment.
            acceptPausedUntil_ = monotonicMs() + 1000;
            return;
        }
        if (static_cast<int>(clients_.size()) >= clientLimit_ && !dropOldestIdle()) {
            turnAway(fd);
            continue;
        }
        Client client;
        client.fd = fd;
        client.id = ++lastId_;
        ucred credentials{};
        socklen_t size = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && size == sizeof credentials) {
            client.uid = credentials.uid;
            client.pid = credentials.pid;
        }
        client.deadline = monotonicMs() + kCommandClientTimeoutMs;
        clients_.push_back(std::move(client));
    }
}

bool LinuxCommandSocket::readFrom(Client& client, const std::function<void(CommandRequest)>& onRequest) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        client.in.append(buffer, static_cast<std::size_t>(n));
        CommandRequest request;
        bool refused = false;
        if (!takeRequestLine(client.in, n == 0, request.line, refused)) {
            if (refused) return false;
            continue;
        }
        request.id = client.id;
        request.peerUid = client.uid;
        request.peerPid = client.pid;
        client.state = Client::State::Waiting;
        onRequest(std::move(request));
        return true;
    }
}

bool LinuxCommandSocket::writeTo(Client& client) {
    while (client.written < client.out.size()) {
        const ssize_t n = ::send(client.fd, client.out.data() + client.written, client.out.size() - client.written,
                                 MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        client.written += static_cast<std::size_t>(n);
    }
    client.out.clear();
    client.written = 0;
    // A notice leaves the client waiting; after its answer it is done with.
    return client.state != Client::State::Writing;
}

void LinuxCommandSocket::takeReplies() {
    std::deque<Outgoing> ready;
    {
        std::lock_guard<std::mutex> lock(repliesMutex_);
        ready.swap(replies_);
    }
    for (Outgoing& outgoing : ready) {
        const auto found =
            std::find_if(clients_.begin(), clients_.end(), [&](const Client& c) { return c.id == outgoing.id; });
        if (found == clients_.end() || found->state != Client::State::Waiting) continue;
        found->out += outgoing.text;
        if (outgoing.answer) {
            found->state = Client::State::Writing;
            found->deadline = monotonicMs() + kCommandClientTimeoutMs;
        }
    }
}

void LinuxCommandSocket::serve(std::function<void(CommandRequest)> onRequest) {
    if (listenFd_ < 0) return;
    std::vector<pollfd> fds;
    while (!closing_) {
        takeReplies();
        // What is ready is written at once: most answers fit the socket's
        // buffer and need no further poll.
        const long long now = monotonicMs();
        for (auto it = clients_.begin(); it != clients_.end();) {
            bool keep = true;
            if (!it->out.empty()) keep = writeTo(*it);
            if (keep && it->state != Client::State::Waiting && now >= it->deadline) keep = false;
            if (!keep) {
                ::close(it->fd);
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }

        fds.clear();
        fds.push_back(pollfd{wakePipe_[0], POLLIN, 0});
        const bool accepting = now >= acceptPausedUntil_;
        fds.push_back(pollfd{accepting ? listenFd_ : -1, POLLIN, 0});
        long long nearest = accepting ? -1 : acceptPausedUntil_;
        for (const Client& client : clients_) {
            short events = 0;
            if (client.state == Client::State::Reading) events = POLLIN;
            if (!client.out.empty()) events = POLLOUT;
            fds.push_back(pollfd{client.fd, events, 0});
            if (client.state != Client::State::Waiting && (nearest < 0 || client.deadline < nearest))
                nearest = client.deadline;
        }
        const int timeout = nearest < 0 ? -1 : static_cast<int>(std::max(0LL, nearest - now) + 1);
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;

        if (fds[0].revents & POLLIN) {
            char buffer[64];
            while (::read(wakePipe_[0], buffer, sizeof buffer) > 0) {
            }
        }
        // Clients first: accepting changes the list the poll entries refer
        // to by position.
        std::vector<std::uint64_t> finished;
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Client& client = clients_[i - 2];
            bool keep = true;
            if (client.state == Client::State::Reading) keep = readFrom(client, onRequest);
            else if (!client.out.empty()) keep = writeTo(client);
            else keep = (fds[i].revents & (POLLHUP | POLLERR)) == 0;  // left before its answer came
            if (!keep) finished.push_back(client.id);
        }
        for (std::uint64_t id : finished) {
            const auto found = std::find_if(clients_.begin(), clients_.end(), [&](const Client& c) { return c.id == id; });
            if (found == clients_.end()) continue;
            ::close(found->fd);
            clients_.erase(found);
        }
        if (fds[1].revents & POLLIN) acceptClients();
    }
    // The answers given before the close (those of commands that could not
    // run any more, the answer to a shutdown) go out as far as the clients'
    // buffers take them.
    takeReplies();
    for (Client& client : clients_)
        if (!client.out.empty()) writeTo(client);
}

void LinuxCommandSocket::queue(Outgoing outgoing) {
    {
        std::lock_guard<std::mutex> lock(repliesMutex_);
        replies_.push_back(std::move(outgoing));
    }
    if (wakePipe_[1] >= 0) wakeUp(wakePipe_[1]);
}

void LinuxCommandSocket::reply(std::uint64_t id, std::string text) { queue(Outgoing{id, std::move(text), true}); }

void LinuxCommandSocket::notice(std::uint64_t id, std::string text) { queue(Outgoing{id, std::move(text), false}); }

void LinuxCommandSocket::close() {
    if (closing_.exchange(true)) return;
    if (wakePipe_[1] >= 0) wakeUp(wakePipe_[1]);
    // Only the file this socket made: a later copy may have replaced it.
    struct stat st {};
    if (!path_.empty() && ::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_)
        ::unlink(path_.c_str());
}

std::unique_ptr<CommandSocket> makeCommandSocket() { return std::make_unique<LinuxCommandSocket>(); }

std::string commandSocketPath() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
        std::string base = runtime;
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        return base + "/procward/ctl.sock";
    }
    if (::geteuid() == 0) return "/run/procward/ctl.sock";
    return "/tmp/procward-" + std::to_string(::geteuid()) + "/ctl.sock";
}

// systemd runs the ordinary program, which listens where root's copy does.
std::string serviceCommandSocketPath() { return {}; }

std::int64_t currentUserId() { return static_cast<std::int64_t>(::geteuid()); }

CommandResult sendCommand(const std::string& path, const std::string& line, std::string& reply, std::string& error,
                          long long timeoutMs) {
    reply.clear();
    sockaddr_un address{};
    if (!fillAddress(path, address, error)) return CommandResult::Failed;
    if (!trustedDirectory(directoryOf(path), error)) return CommandResult::Failed;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = "cannot create a socket: " + systemError(errno);
        return CommandResult::Failed;
    }
    long long deadline = monotonicMs() + timeoutMs;
    auto fail = [&](CommandResult result, std::string why) {
        ::close(fd);
        error = std::move(why);
        return result;
    };
    // Waits for the socket until the deadline; false when it has passed.
    auto await = [&](short events) {
        for (;;) {
            const long long left = deadline - monotonicMs();
            if (left <= 0) return false;
            pollfd p{fd, events, 0};
            const int n = ::poll(&p, 1, static_cast<int>(std::min(left, 60000LL)));
            if (n > 0) return true;
            if (n < 0 && errno != EINTR) return true;  // the call that follows tells what is wrong
        }
    };
    const std::string noAnswer = "no answer from the supervisor on " + path;

    // A supervisor that takes no clients (stopped, hung) lets its queue of
    // connections fill up: then the connect is refused for the moment.
    while (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int cause = errno;
        if (cause == EINTR) continue;
        if (cause == EINPROGRESS) {
            if (!await(POLLOUT)) return fail(CommandResult::TimedOut, noAnswer);
            int pending = 0;
            socklen_t size = sizeof pending;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size);
            if (pending == 0) break;
            errno = pending;
            continue;
        }
        if (cause == EAGAIN) {
            if (monotonicMs() >= deadline) return fail(CommandResult::TimedOut, noAnswer);
            ::poll(nullptr, 0, 50);
            continue;
        }
        if (cause == ENOENT || cause == ECONNREFUSED || cause == ENOTDIR) {
            ::close(fd);
            return CommandResult::NoInstance;
        }
        return fail(CommandResult::Failed, "cannot connect to " + path + ": " + systemError(cause));
    }

    const std::string request = line + "\n";
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!await(POLLOUT)) return fail(CommandResult::TimedOut, noAnswer);
            continue;
        }
        if (n <= 0) return fail(CommandResult::Failed, "cannot send to " + path + ": " + systemError(errno));
        sent += static_cast<std::size_t>(n);
    }
    char buffer[4096];
    bool answering = false;  // the answer itself has begun
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!await(POLLIN)) return fail(CommandResult::TimedOut, noAnswer);
            continue;
        }
        if (n < 0) return fail(CommandResult::Failed, "cannot read the answer: " + systemError(errno));
        if (n == 0) break;
        reply.append(buffer, static_cast<std::size_t>(n));
        // While the supervisor works on the command it says how long that
        // may take; the answer is waited for that much longer.
        long long seconds = 0;
        while (!answering && takeProgressNotice(reply, seconds)) deadline = monotonicMs() + seconds * 1000 + timeoutMs;
        if (!reply.empty() && reply[0] != '+') answering = true;
    }
    ::close(fd);
    if (reply.empty()) {
        error = "the supervisor closed the connection without an answer";
        return CommandResult::Failed;
    }
    return CommandResult::Answered;
}

}  // namespace platform
