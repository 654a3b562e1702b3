#include "mail/MailConnection.h"

#include "mail/ECSmtp.h"
#include "mail/MailAbort.h"
#include "mail/MailDeadline.h"
#include "mail/TlsSession.h"

MailConnection::MailConnection(platform::Sockets& sockets, platform::SocketHandle socket,
                               const MailDeadline& deadline, const MailAbort* abort)
    : sockets_(sockets), socket_(socket), deadline_(deadline), abort_(abort) {}

MailConnection::~MailConnection() = default;

void MailConnection::checkAbort() const {
    if (abort_ && abort_->aborted()) throw ECSmtp(414);
}

void MailConnection::sendRaw(const char* bytes, std::size_t count) {
    std::size_t sent = 0;
    while (sent < count) {
        checkAbort();
        bool cutShort = false;
        const auto limit = deadline_.nextWait(cutShort);
        switch (sockets_.waitWritable(socket_, limit)) {
            case platform::SocketWait::Ready: break;
            case platform::SocketWait::TimedOut: deadline_.timedOut(402, cutShort);
            case platform::SocketWait::Failed: checkAbort(); throw ECSmtp(109);
        }
        checkAbort();
        const long n = sockets_.send(socket_, bytes + sent, count - sent);
        if (n < 0) {
            checkAbort();
            throw ECSmtp(102);
        }
        // A count of 0 (no room yet) leads to another wait, so a step is
        // never cut short.
        sent += static_cast<std::size_t>(n);
    }
}

std::size_t MailConnection::receiveRaw(char* buffer, std::size_t size) {
    for (;;) {
        checkAbort();
        bool cutShort = false;
        const auto limit = deadline_.nextWait(cutShort);
        switch (sockets_.waitReadable(socket_, limit)) {
            case platform::SocketWait::Ready: break;
            case platform::SocketWait::TimedOut: deadline_.timedOut(402, cutShort);
            case platform::SocketWait::Failed: checkAbort(); throw ECSmtp(109);
        }
        checkAbort();
        const long n = sockets_.receive(socket_, buffer, size);
        if (n > 0) return static_cast<std::size_t>(n);
        checkAbort();
        if (n == 0) throw ECSmtp(400);
        throw ECSmtp(103);
    }
}

void MailConnection::send(const char* bytes, std::size_t count) {
    if (tls_)
        tls_->write(bytes, count);
    else
        sendRaw(bytes, count);
}

std::size_t MailConnection::receive(char* buffer, std::size_t size) {
    return tls_ ? tls_->read(buffer, size) : receiveRaw(buffer, size);
}

void MailConnection::startTls(const std::string& host, bool verify) {
    auto session = std::make_unique<TlsSession>(*this, host, verify);
    session->handshake();
    tls_ = std::move(session);
}

std::string MailConnection::tlsDescription() const { return tls_ ? tls_->description() : std::string(); }

void MailConnection::closeTls() {
    if (tls_) tls_->close();
}
