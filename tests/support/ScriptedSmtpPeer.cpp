#include "tests/support/ScriptedSmtpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <stdexcept>

#include "tests/support/TestServer.h"

const std::string ScriptedSmtpPeer::kClose = std::string("\x01", 1) + "close";
const std::string ScriptedSmtpPeer::kReset = std::string("\x01", 1) + "reset";
const std::string ScriptedSmtpPeer::kSilent = std::string("\x01", 1) + "silent";
const std::string ScriptedSmtpPeer::kDrip = std::string("\x01", 1) + "drip";

namespace {

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string verbOf(const std::string& line) {
    std::string verb;
    for (const char c : line) {
        if (c == ' ' || c == '\r' || c == '\n' || c == ':') break;
        verb += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return verb;
}

}  // namespace

ScriptedSmtpPeer::ScriptedSmtpPeer(Replies replies) : replies_(std::move(replies)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 8) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listenFd_ >= 0) ::close(listenFd_);
        throw std::runtime_error("scripted SMTP peer cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
}

ScriptedSmtpPeer::~ScriptedSmtpPeer() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
}

bool ScriptedSmtpPeer::waitFinished(std::chrono::milliseconds timeout) const {
    return waitFor([&] { return finished_ > 0; }, static_cast<int>(timeout.count()));
}

std::string ScriptedSmtpPeer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedSmtpPeer::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::string ScriptedSmtpPeer::data() const {
    std::lock_guard lock(mutex_);
    return data_;
}

void ScriptedSmtpPeer::run() {
    while (!stop_) {
        pollfd entry{listenFd_, POLLIN, 0};
        if (::poll(&entry, 1, 20) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        serve(fd);
        ++finished_;
    }
}

bool ScriptedSmtpPeer::reply(int fd, const std::string& text) {
    std::string bytes = text;
    const std::string* marker = nullptr;
    for (const auto* m : {&kClose, &kReset, &kSilent, &kDrip})
        if (endsWith(bytes, *m)) {
            marker = m;
            bytes.erase(bytes.size() - m->size());
        }
    if (marker == &kDrip) {
        // One byte per interval, the interval waited in short steps so that
        // stopping the peer is not held up.
        for (std::size_t i = 0; !stop_; ++i) {
            const char byte = i < bytes.size() ? bytes[i] : 'x';
            if (::send(fd, &byte, 1, MSG_NOSIGNAL) != 1) return false;
            const auto next = std::chrono::steady_clock::now() + replies_.dripInterval;
            while (!stop_ && std::chrono::steady_clock::now() < next) {
                pollfd entry{fd, POLLIN, 0};
                if (::poll(&entry, 1, 20) > 0) {
                    char sink[4096];
                    const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
                    if (n <= 0) return false;  // the client has gone
                    std::lock_guard lock(mutex_);
                    received_.append(sink, static_cast<std::size_t>(n));
                }
            }
        }
        return false;
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    if (!marker) return true;
    if (marker == &kReset) {
        linger option{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
        return false;
    }
    if (marker == &kSilent) {
        // Keep the connection open, reading and dropping, until the client
        // closes it or the peer is stopped.
        char sink[4096];
        while (!stop_) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 20) <= 0) continue;
            const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
            if (n <= 0) break;
            std::lock_guard lock(mutex_);
            received_.append(sink, static_cast<std::size_t>(n));
        }
    }
    return false;
}

void ScriptedSmtpPeer::serve(int fd) {
    enum class State { Command, Login, Password, Data, Done };
    State state = State::Command;
    std::size_t rcptCount = 0;
    std::string pending;  // bytes received and not yet handled
    std::string data;     // data collected in the Data state

    bool open = reply(fd, replies_.greeting);
    while (open && !stop_) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 20) <= 0) continue;
        char chunk[8192];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        {
            std::lock_guard lock(mutex_);
            received_.append(chunk, static_cast<std::size_t>(n));
        }
        pending.append(chunk, static_cast<std::size_t>(n));

        for (;;) {
            if (state == State::Data) {
                // `data` starts with the line break that the reply to DATA
                // stands for, so the end line is always "\r\n.\r\n".
                const std::size_t from = data.size() >= 4 ? data.size() - 4 : 0;
                data += pending;
                pending.clear();
                if (replies_.resetAfterDataBytes != 0 && data.size() - 2 >= replies_.resetAfterDataBytes) {
                    linger option{1, 0};
                    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
                    open = false;
                    break;
                }
                const auto end = data.find("\r\n.\r\n", from);
                if (end == std::string::npos) break;
                {
                    // Up to and including the line break of the last data line.
                    std::lock_guard lock(mutex_);
                    data_ = data.substr(2, end);
                }
                pending = data.substr(end + 5);
                state = State::Command;
                if (!(open = reply(fd, replies_.endOfData))) break;
                continue;
            }
            const auto lf = pending.find('\n');
            if (lf == std::string::npos) break;
            std::string line = pending.substr(0, lf + 1);
            pending.erase(0, lf + 1);
            std::string bare = line;
            while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r')) bare.pop_back();
            {
                std::lock_guard lock(mutex_);
                commands_.push_back(bare);
            }
            std::string answer;
            if (state == State::Login) {
                answer = replies_.login;
                state = answer.rfind("334", 0) == 0 ? State::Password : State::Command;
            } else if (state == State::Password) {
                answer = replies_.password;
                state = State::Command;
            } else {
                const std::string verb = verbOf(bare);
                if (verb == "EHLO" || verb == "HELO") {
                    answer = replies_.ehlo;
                } else if (verb == "AUTH") {
                    answer = replies_.auth;
                    if (answer.rfind("334", 0) == 0) state = State::Login;
                } else if (verb == "MAIL") {
                    answer = replies_.mailFrom;
                } else if (verb == "RCPT") {
                    answer = rcptCount < replies_.rcpt.size() ? replies_.rcpt[rcptCount] : replies_.rcptDefault;
                    ++rcptCount;
                } else if (verb == "DATA") {
                    answer = replies_.data;
                    if (answer.rfind("354", 0) == 0 || answer.find("\n354") != std::string::npos) {
                        state = State::Data;
                        data = "\r\n";
                    }
                } else if (verb == "QUIT") {
                    answer = replies_.quit + kClose;
                } else {
                    answer = "500 5.5.2 Error: command not recognized\r\n";
                }
            }
            if (!(open = reply(fd, answer))) break;
        }
    }
    ::close(fd);
}
