#pragma once
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string>

namespace platform {

// The functions of OpenSSL that mail over TLS and the webhooks' signatures
// use. On Linux the libraries are loaded the first time one of them is
// needed: linked in, the dynamic loader's work on libcrypto alone keeps
// about 1.5 MB of every run resident, while many installations never send
// a mail over TLS or sign a webhook. Windows links them in. OpenSSL's
// macros over its control functions (SSL_CTX_set_min_proto_version,
// SSL_set_tlsext_host_name, BIO_set_mem_eof_return) are written out as
// calls of `sslCtxCtrl`, `sslCtrl` and `bioCtrl`.
struct TlsLibrary {
    decltype(&ERR_get_error) errGetError = nullptr;
    decltype(&ERR_clear_error) errClearError = nullptr;
    decltype(&ERR_reason_error_string) errReasonErrorString = nullptr;
    decltype(&ERR_error_string_n) errErrorStringN = nullptr;
    decltype(&BIO_new) bioNew = nullptr;
    decltype(&BIO_s_mem) bioSMem = nullptr;
    decltype(&BIO_free) bioFree = nullptr;
    decltype(&BIO_ctrl) bioCtrl = nullptr;
    decltype(&BIO_read) bioRead = nullptr;
    decltype(&BIO_write) bioWrite = nullptr;
    decltype(&d2i_X509) d2iX509 = nullptr;
    decltype(&X509_free) x509Free = nullptr;
    decltype(&X509_STORE_add_cert) x509StoreAddCert = nullptr;
    decltype(&X509_VERIFY_PARAM_set1_ip_asc) x509VerifyParamSet1IpAsc = nullptr;
    decltype(&X509_verify_cert_error_string) x509VerifyCertErrorString = nullptr;
    decltype(&HMAC) hmac = nullptr;
    decltype(&EVP_sha256) evpSha256 = nullptr;
    decltype(&EVP_EncodeBlock) evpEncodeBlock = nullptr;
    decltype(&TLS_client_method) tlsClientMethod = nullptr;
    decltype(&SSL_CTX_new) sslCtxNew = nullptr;
    decltype(&SSL_CTX_free) sslCtxFree = nullptr;
    decltype(&SSL_CTX_ctrl) sslCtxCtrl = nullptr;
    decltype(&SSL_CTX_set_default_verify_paths) sslCtxSetDefaultVerifyPaths = nullptr;
    decltype(&SSL_CTX_set_verify) sslCtxSetVerify = nullptr;
    decltype(&SSL_CTX_get_cert_store) sslCtxGetCertStore = nullptr;
    decltype(&SSL_new) sslNew = nullptr;
    decltype(&SSL_free) sslFree = nullptr;
    decltype(&SSL_ctrl) sslCtrl = nullptr;
    decltype(&SSL_set_bio) sslSetBio = nullptr;
    decltype(&SSL_set_connect_state) sslSetConnectState = nullptr;
    decltype(&SSL_get0_param) sslGet0Param = nullptr;
    decltype(&SSL_set_hostflags) sslSetHostflags = nullptr;
    decltype(&SSL_set1_host) sslSet1Host = nullptr;
    decltype(&SSL_get_error) sslGetError = nullptr;
    decltype(&SSL_get_verify_result) sslGetVerifyResult = nullptr;
    decltype(&SSL_do_handshake) sslDoHandshake = nullptr;
    decltype(&SSL_write) sslWrite = nullptr;
    decltype(&SSL_read) sslRead = nullptr;
    decltype(&SSL_shutdown) sslShutdown = nullptr;
    decltype(&SSL_get_current_cipher) sslGetCurrentCipher = nullptr;
    decltype(&SSL_get_version) sslGetVersion = nullptr;
    decltype(&SSL_CIPHER_get_name) sslCipherGetName = nullptr;
    decltype(&a2i_IPADDRESS) a2iIpAddress = nullptr;
    decltype(&ASN1_OCTET_STRING_free) asn1OctetStringFree = nullptr;

    // The library, loaded once for the whole program and kept; null with
    // the reason when it cannot be loaded.
    static const TlsLibrary* get(std::string& error);
};

}  // namespace platform
