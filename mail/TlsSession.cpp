#include "mail/TlsSession.h"

#include "mail/ECSmtp.h"
#include "mail/MailConnection.h"
#include "platform/TlsLibrary.h"
#include "platform/TrustedRoots.h"

namespace {

// The reason of the last error in this thread's OpenSSL error queue, which
// is then cleared.
std::string libraryReason(const platform::TlsLibrary& tls, const char* fallback) {
    unsigned long last = 0;
    for (unsigned long e; (e = tls.errGetError()) != 0;) last = e;
    if (last == 0) return fallback;
    const char* reason = tls.errReasonErrorString(last);
    if (reason) return reason;
    char buffer[256];
    tls.errErrorStringN(last, buffer, sizeof buffer);
    return buffer;
}

bool isIpAddress(const platform::TlsLibrary& tls, const std::string& host) {
    ASN1_OCTET_STRING* address = tls.a2iIpAddress(host.c_str());
    if (!address) return false;
    tls.asn1OctetStringFree(address);
    return true;
}

// The system's trusted authorities that the default paths leave out (the
// Windows store); one that cannot be read is passed over.
void addSystemRoots(const platform::TlsLibrary& tls, SSL_CTX* context) {
    X509_STORE* store = tls.sslCtxGetCertStore(context);
    for (const std::string& der : platform::systemRootCertificates()) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
        X509* certificate = tls.d2iX509(nullptr, &bytes, static_cast<long>(der.size()));
        if (!certificate) continue;
        // A certificate already in the store is refused; that is no fault.
        tls.x509StoreAddCert(store, certificate);
        tls.x509Free(certificate);
    }
    tls.errClearError();
}

}  // namespace

TlsSession::TlsSession(MailConnection& connection, std::string host, bool verify)
    : connection_(connection), host_(std::move(host)), verify_(verify) {
    std::string error;
    tls_ = platform::TlsLibrary::get(error);
    if (!tls_) throw ECSmtp(500, error);
    tls_->errClearError();
    context_ = tls_->sslCtxNew(tls_->tlsClientMethod());
    if (!context_) throw ECSmtp(500, libraryReason(*tls_, "no TLS context"));
    // No version is pinned above: the library's newest wins.
    tls_->sslCtxCtrl(context_, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    if (verify_) {
        if (tls_->sslCtxSetDefaultVerifyPaths(context_) != 1) {
            const std::string reason = libraryReason(*tls_, "the trust store cannot be loaded");
            tls_->sslCtxFree(context_);
            throw ECSmtp(500, reason);
        }
        addSystemRoots(*tls_, context_);
        tls_->sslCtxSetVerify(context_, SSL_VERIFY_PEER, nullptr);
    } else {
        tls_->sslCtxSetVerify(context_, SSL_VERIFY_NONE, nullptr);
    }

    ssl_ = tls_->sslNew(context_);
    incoming_ = tls_->bioNew(tls_->bioSMem());
    outgoing_ = tls_->bioNew(tls_->bioSMem());
    if (!ssl_ || !incoming_ || !outgoing_) {
        const std::string reason = libraryReason(*tls_, "out of memory");
        if (incoming_) tls_->bioFree(incoming_);
        if (outgoing_) tls_->bioFree(outgoing_);
        if (ssl_) tls_->sslFree(ssl_);
        tls_->sslCtxFree(context_);
        throw ECSmtp(500, reason);
    }
    // An empty memory buffer means "no data yet", not the end of the stream.
    tls_->bioCtrl(incoming_, BIO_C_SET_BUF_MEM_EOF_RETURN, -1, nullptr);
    tls_->sslSetBio(ssl_, incoming_, outgoing_);  // the session owns both now
    tls_->sslSetConnectState(ssl_);

    bool ok = true;
    const bool ipAddress = isIpAddress(*tls_, host_);
    if (!ipAddress && !host_.empty()) ok = tls_->sslCtrl(ssl_, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(host_.c_str())) == 1;
    if (ok && verify_) {
        if (ipAddress) {
            ok = tls_->x509VerifyParamSet1IpAsc(tls_->sslGet0Param(ssl_), host_.c_str()) == 1;
        } else {
            tls_->sslSetHostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            ok = tls_->sslSet1Host(ssl_, host_.c_str()) == 1;
        }
    }
    if (!ok) {
        const std::string reason = libraryReason(*tls_, "the host name cannot be set");
        tls_->sslFree(ssl_);
        tls_->sslCtxFree(context_);
        throw ECSmtp(500, reason);
    }
}

TlsSession::~TlsSession() {
    tls_->sslFree(ssl_);
    tls_->sslCtxFree(context_);
}

void TlsSession::flushOutput() {
    char buffer[16384];
    for (;;) {
        const int n = tls_->bioRead(outgoing_, buffer, sizeof buffer);
        if (n <= 0) return;
        connection_.sendRaw(buffer, static_cast<std::size_t>(n));
    }
}

template <typename Operation>
int TlsSession::drive(Operation operation, int failureCode) {
    for (;;) {
        tls_->errClearError();
        const int result = operation();
        const int error = result > 0 ? SSL_ERROR_NONE : tls_->sslGetError(ssl_, result);
        // Whatever OpenSSL wrote goes out first: the server may be waiting
        // for it before it sends what we wait for.
        flushOutput();
        switch (error) {
            case SSL_ERROR_NONE: return result;
            case SSL_ERROR_WANT_READ: {
                char buffer[16384];
                const std::size_t n = connection_.receiveRaw(buffer, sizeof buffer);
                tls_->bioWrite(incoming_, buffer, static_cast<int>(n));
                continue;
            }
            case SSL_ERROR_WANT_WRITE: continue;
            case SSL_ERROR_ZERO_RETURN: throw ECSmtp(400);
            default: throw ECSmtp(failureCode, libraryReason(*tls_, "unexpected end of the TLS stream"));
        }
    }
}

void TlsSession::failHandshake() {
    const long result = tls_->sslGetVerifyResult(ssl_);
    if (verify_ && result != X509_V_OK) {
        tls_->errClearError();
        if (result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH)
            throw ECSmtp(503, host_);
        throw ECSmtp(502, tls_->x509VerifyCertErrorString(result));
    }
}

void TlsSession::handshake() {
    try {
        drive([this] { return tls_->sslDoHandshake(ssl_); }, 501);
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
        const int n = drive([&] { return tls_->sslWrite(ssl_, bytes, chunk); }, 506);
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
}

std::size_t TlsSession::read(char* buffer, std::size_t size) {
    const int chunk = size > 65536 ? 65536 : static_cast<int>(size);
    return static_cast<std::size_t>(drive([&] { return tls_->sslRead(ssl_, buffer, chunk); }, 506));
}

void TlsSession::close() {
    try {
        tls_->errClearError();
        tls_->sslShutdown(ssl_);
        flushOutput();
    } catch (const ECSmtp&) {
    }
    tls_->errClearError();
}

std::string TlsSession::description() const {
    const SSL_CIPHER* cipher = tls_->sslGetCurrentCipher(ssl_);
    return std::string(tls_->sslGetVersion(ssl_)) + " " + (cipher ? tls_->sslCipherGetName(cipher) : "");
}
