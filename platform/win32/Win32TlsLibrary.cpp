#include "platform/TlsLibrary.h"

namespace platform {

namespace {

// OpenSSL is linked in statically here: the functions are known at build time.
TlsLibrary linkedIn() {
    TlsLibrary t;
    t.errGetError = &ERR_get_error;
    t.errClearError = &ERR_clear_error;
    t.errReasonErrorString = &ERR_reason_error_string;
    t.errErrorStringN = &ERR_error_string_n;
    t.bioNew = &BIO_new;
    t.bioSMem = &BIO_s_mem;
    t.bioFree = &BIO_free;
    t.bioCtrl = &BIO_ctrl;
    t.bioRead = &BIO_read;
    t.bioWrite = &BIO_write;
    t.d2iX509 = &d2i_X509;
    t.x509Free = &X509_free;
    t.x509StoreAddCert = &X509_STORE_add_cert;
    t.x509VerifyParamSet1IpAsc = &X509_VERIFY_PARAM_set1_ip_asc;
    t.x509VerifyCertErrorString = &X509_verify_cert_error_string;
    t.hmac = &HMAC;
    t.evpSha256 = &EVP_sha256;
    t.evpEncodeBlock = &EVP_EncodeBlock;
    t.tlsClientMethod = &TLS_client_method;
    t.sslCtxNew = &SSL_CTX_new;
    t.sslCtxFree = &SSL_CTX_free;
    t.sslCtxCtrl = &SSL_CTX_ctrl;
    t.sslCtxSetDefaultVerifyPaths = &SSL_CTX_set_default_verify_paths;
    t.sslCtxSetVerify = &SSL_CTX_set_verify;
    t.sslCtxGetCertStore = &SSL_CTX_get_cert_store;
    t.sslNew = &SSL_new;
    t.sslFree = &SSL_free;
    t.sslCtrl = &SSL_ctrl;
    t.sslSetBio = &SSL_set_bio;
    t.sslSetConnectState = &SSL_set_connect_state;
    t.sslGet0Param = &SSL_get0_param;
    t.sslSetHostflags = &SSL_set_hostflags;
    t.sslSet1Host = &SSL_set1_host;
    t.sslGetError = &SSL_get_error;
    t.sslGetVerifyResult = &SSL_get_verify_result;
    t.sslDoHandshake = &SSL_do_handshake;
    t.sslWrite = &SSL_write;
    t.sslRead = &SSL_read;
    t.sslShutdown = &SSL_shutdown;
    t.sslGetCurrentCipher = &SSL_get_current_cipher;
    t.sslGetVersion = &SSL_get_version;
    t.sslCipherGetName = &SSL_CIPHER_get_name;
    t.a2iIpAddress = &a2i_IPADDRESS;
    t.asn1OctetStringFree = &ASN1_OCTET_STRING_free;
    return t;
}

}  // namespace

const TlsLibrary* TlsLibrary::get(std::string&) {
    static const TlsLibrary library = linkedIn();
    return &library;
}

}  // namespace platform
