#include "mail/TlsSession.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "mail/ECSmtp.h"
#include "mail/MailConnection.h"

namespace {

// The reason of the last error in this thread's OpenSSL error queue, which
// is then cleared.
std::string libraryReason(const char* fallback) {
    unsigned long last = 0;
    for (unsigned long e; (e = ERR_get_error()) != 0;) last = e;
    if (last == 0) return fallback;
    const char* reason = ERR_reason_error_string(last);
    if (reason) return reason;
    char buffer[256];
    ERR_error_string_n(last, buffer, sizeof buffer);
    return buffer;
}

bool isIpAddress(const std::string& host) {
    ASN1_OCTET_STRING* address = a2i_IPADDRESS(host.c_str());
    if (!address) return false;
    ASN1_OCTET_STRING_free(address);
    return true;
}

}  // namespace

TlsSession::TlsSession(MailConnection& connection, std::string host, bool verify)
    : connection_(connection), host_(std::move(host)), verify_(verify) {
    ERR_clear_error();
    context_ = SSL_CTX_new(TLS_client_method());
    if (!context_) throw ECSmtp(500, libraryReason("no TLS context"));
    // No version is pinned above: the library's newest wins.
    SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
    if (verify_) {
        if (SSL_CTX_set_default_verify_paths(context_) != 1) {
            const std::string reason = libraryReason("the trust store cannot be loaded");
            SSL_CTX_free(context_);
            throw ECSmtp(500, reason);
        }
        SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    } else {
        SSL_CTX_set_verify(context_, SSL_VERIFY_NONE, nullptr);
    }

    ssl_ = SSL_new(context_);
    incoming_ = BIO_new(BIO_s_mem());
    outgoing_ = BIO_new(BIO_s_mem());
    if (!ssl_ || !incoming_ || !outgoing_) {
        const std::string reason = libraryReason("out of memory");
        if (incoming_) BIO_free(incoming_);
        if (outgoing_) BIO_free(outgoing_);
        if (ssl_) SSL_free(ssl_);
        SSL_CTX_free(context_);
        throw ECSmtp(500, reason);
    }
    // An empty memory buffer means "no data yet", not the end of the stream.
    BIO_set_mem_eof_return(incoming_, -1);
    SSL_set_bio(ssl_, incoming_, outgoing_);  // the session owns both now
    SSL_set_connect_state(ssl_);

    bool ok = true;
    const bool ipAddress = isIpAddress(host_);
    if (!ipAddress && !host_.empty()) ok = SSL_set_tlsext_host_name(ssl_, host_.c_str()) == 1;
    if (ok && verify_) {
        if (ipAddress) {
            ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host_.c_str()) == 1;
        } else {
            SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            ok = SSL_set1_host(ssl_, host_.c_str()) == 1;
        }
    }
    if (!ok) {
        const std::string reason = libraryReason("the host name cannot be set");
        SSL_free(ssl_);
        SSL_CTX_free(context_);
        throw ECSmtp(500, reason);
    }
}

TlsSession::~TlsSession() {
    SSL_free(ssl_);
    SSL_CTX_free(context_);
}

void TlsSession::flushOutput() {
    char buffer[16384];
    for (;;) {
        const int n = BIO_read(outgoing_, buffer, sizeof buffer);
        if (n <= 0) return;
        connection_.sendRaw(buffer, static_cast<std::size_t>(n));
    }
}

template <typename Operation>
int TlsSession::drive(Operation operation, int failureCode) {
    for (;;) {
        ERR_clear_error();
        const int result = operation();
        const int error = result > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_, result);
        // Whatever OpenSSL wrote goes out first: the server may be waiting
        // for it before it sends what we wait for.
        flushOutput();
        switch (error) {
            case SSL_ERROR_NONE: return result;
            case SSL_ERROR_WANT_READ: {
                char buffer[16384];
                const std::size_t n = connection_.receiveRaw(buffer, sizeof buffer);
                BIO_write(incoming_, buffer, static_cast<int>(n));
                continue;
            }
            case SSL_ERROR_WANT_WRITE: continue;
            case SSL_ERROR_ZERO_RETURN: throw ECSmtp(400);
            default: throw ECSmtp(failureCode, libraryReason("unexpected end of the TLS stream"));
        }
    }
}

void TlsSession::failHandshake() {
    const long result = SSL_get_verify_result(ssl_);
    if (verify_ && result != X509_V_OK) {
        ERR_clear_error();
        if (result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH)
            throw ECSmtp(503, host_);
        throw ECSmtp(502, X509_verify_cert_error_string(result));
    }
}

void TlsSession::handshake() {
    try {
        drive([this] { return SSL_do_handshake(ssl_); }, 501);
    } catch (const ECSmtp& error) {
        // A failed certificate check shows up as a handshake error; name it.
        if (error.GetErrorCode() == 501 || error.GetErrorCode() == 400) failHandshake();
        if (error.GetErrorCode() == 400) throw ECSmtp(501, "the server closed the connection");
        throw;
    }
}

void TlsSession::write(const char* bytes, std::size_t count) {
    while (count > 0) {
        const int chunk = count > 65536 ? 65536 : static_cast<int>(count);
        const int n = drive([&] { return SSL_write(ssl_, bytes, chunk); }, 506);
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
}

std::size_t TlsSession::read(char* buffer, std::size_t size) {
    const int chunk = size > 65536 ? 65536 : static_cast<int>(size);
    return static_cast<std::size_t>(drive([&] { return SSL_read(ssl_, buffer, chunk); }, 506));
}

void TlsSession::close() {
    try {
        ERR_clear_error();
        SSL_shutdown(ssl_);
        flushOutput();
    } catch (const ECSmtp&) {
    }
    ERR_clear_error();
}

std::string TlsSession::description() const {
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_);
    return std::string(SSL_get_version(ssl_)) + " " + (cipher ? SSL_CIPHER_get_name(cipher) : "");
}
