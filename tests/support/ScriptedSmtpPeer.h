#pragma once
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// An SMTP peer on 127.0.0.1 whose every reply is given by the test, for the
// failure paths a real server does not take. It serves one connection after
// another on its own thread, answers each client step with the reply set for
// it and records all bytes the client sent.
//
// A reply is sent as it stands (several lines, no line feed at all, text
// that is no SMTP at all). A reply may end in one of the markers below: the
// text before the marker is sent, then the peer acts on the marker.
class ScriptedSmtpPeer {
public:
    static const std::string kClose;   // close the connection in order
    static const std::string kReset;   // close it with a reset (unread data dropped)
    static const std::string kSilent;  // say nothing more; wait until the client goes
    // Send the text before the marker one byte per dripInterval, then keep
    // sending one byte ("x") per interval until the client goes: a server
    // that answers just often enough never to be silent for long.
    static const std::string kDrip;

    struct Replies {
        std::string greeting = "220 peer ready\r\n";
        std::string ehlo = "250-peer greets you\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n";
        std::string auth = "334 VXNlcm5hbWU6\r\n";   // to AUTH LOGIN
        std::string login = "334 UGFzc3dvcmQ6\r\n";  // to the encoded login
        std::string password = "235 2.7.0 Authentication successful\r\n";
        std::string mailFrom = "250 2.1.0 Ok\r\n";
        std::vector<std::string> rcpt;                 // one per RCPT TO, in order
        std::string rcptDefault = "250 2.1.5 Ok\r\n";  // for RCPT TO beyond the list
        std::string data = "354 End data with <CR><LF>.<CR><LF>\r\n";
        std::string endOfData = "250 2.0.0 Ok: queued\r\n";
        std::string quit = "221 2.0.0 Bye\r\n";
        // Non-zero: reset the connection, unread data dropped, once this many
        // bytes of message data have come.
        std::size_t resetAfterDataBytes = 0;
        std::chrono::milliseconds dripInterval{200};
    };

    explicit ScriptedSmtpPeer(Replies replies);
    ScriptedSmtpPeer() : ScriptedSmtpPeer(Replies{}) {}
    ~ScriptedSmtpPeer();
    ScriptedSmtpPeer(const ScriptedSmtpPeer&) = delete;
    ScriptedSmtpPeer& operator=(const ScriptedSmtpPeer&) = delete;

    int port() const { return port_; }

    // Waits until a connection has ended (closed by either side).
    bool waitFinished(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    int connections() const { return connections_; }
    // Every byte the client sent, in order.
    std::string received() const;
    // The command lines (credentials included) without CR LF, in order.
    std::vector<std::string> commands() const;
    // The bytes after the reply to DATA up to the end-of-data line, as sent
    // (dots not removed); "\r\n.\r\n" itself is not part of it.
    std::string data() const;

private:
    void run();
    void serve(int fd);
    bool reply(int fd, const std::string& text);  // false when the session ends

    Replies replies_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> finished_{0};
    mutable std::mutex mutex_;
    std::string received_;
    std::vector<std::string> commands_;
    std::string data_;
    std::thread thread_;
};
