#pragma once
#include <cstddef>
#include <memory>
#include <string>

#include "platform/Sockets.h"

class MailAbort;
class MailDeadline;
class TlsSession;

// The byte stream of one SMTP connection: plain TCP at first, TLS once
// startTls has succeeded. Every wait is bounded by the mail's time limits
// and ends early when the mail is cancelled. All bytes, TLS records
// included, go through the platform's sockets. It does not own the socket.
class MailConnection {
public:
    MailConnection(platform::Sockets& sockets, platform::SocketHandle socket, const MailDeadline& deadline,
                   const MailAbort* abort);
    ~MailConnection();
    MailConnection(const MailConnection&) = delete;
    MailConnection& operator=(const MailConnection&) = delete;

    // Sends all bytes, through TLS when it is on. Throws ECSmtp: 102, 109,
    // 402, 413, 414 (TLS: 5xx).
    void send(const char* bytes, std::size_t count);
    // Receives at least one byte, at most `size`, through TLS when it is on.
    // Throws ECSmtp: 103, 109, 400 (closed), 402, 413, 414 (TLS: 5xx).
    std::size_t receive(char* buffer, std::size_t size);

    // Runs the TLS handshake with the server named `host` (sent as SNI and,
    // when `verify` is set, checked against its certificate). Throws ECSmtp
    // 500 to 503, or the codes of the transfer.
    void startTls(const std::string& host, bool verify);
    bool tlsActive() const { return tls_ != nullptr; }
    // Protocol and cipher of the TLS session; empty without one.
    std::string tlsDescription() const;
    // Tells the server that TLS ends; nothing is reported.
    void closeTls();

    // The socket itself, without TLS.
    void sendRaw(const char* bytes, std::size_t count);
    std::size_t receiveRaw(char* buffer, std::size_t size);

private:
    void checkAbort() const;

    platform::Sockets& sockets_;
    platform::SocketHandle socket_;
    const MailDeadline& deadline_;
    const MailAbort* abort_;
    std::unique_ptr<TlsSession> tls_;
};
