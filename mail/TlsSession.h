#pragma once
#include <cstddef>
#include <string>

class MailConnection;
namespace platform {
struct TlsLibrary;
}

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

// One TLS client session over a mail connection. OpenSSL works on two
// memory buffers; this class carries the records between them and the
// connection's own socket calls, so every byte passes the platform's
// sockets with the mail's waits, time limits and cancellation.
//
// TLS 1.2 or later; the server certificate is checked against the system's
// trust store (SSL_CERT_FILE and SSL_CERT_DIR are honoured) and against the
// host name, which is also sent as SNI (not for an IP address, which is
// checked against the certificate's IP entries instead).
class TlsSession {
public:
    // Prepares the session; throws ECSmtp 500 when the TLS library cannot
    // (for instance, no trust store to load while `verify` is set).
    TlsSession(MailConnection& connection, std::string host, bool verify);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Throws ECSmtp 501 (handshake failed, with the library's reason), 502
    // (certificate not trusted, with the reason), 503 (certificate for
    // another host), or the connection's codes (402, 413, 414, ...).
    void handshake();

    // Throws ECSmtp 506 on a TLS error, or the connection's codes.
    void write(const char* bytes, std::size_t count);
    // At least one byte. Throws ECSmtp 400 when the server ended the
    // session, 506 on a TLS error, or the connection's codes.
    std::size_t read(char* buffer, std::size_t size);

    // Sends the close notification; nothing is reported.
    void close();

    // "TLSv1.3 TLS_AES_256_GCM_SHA384".
    std::string description() const;

private:
    template <typename Operation>
    int drive(Operation operation, int failureCode);
    void flushOutput();
    void failHandshake();

    MailConnection& connection_;
    std::string host_;
    bool verify_;
    const platform::TlsLibrary* tls_ = nullptr;  // loaded on the first session
    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
    BIO* incoming_ = nullptr;  // records from the server, for OpenSSL to read
    BIO* outgoing_ = nullptr;  // records OpenSSL wrote, to be sent
};
