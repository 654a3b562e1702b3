#include "platform/TlsLibrary.h"

#include <memory>
#include <mutex>

#include "platform/Module.h"

namespace platform {

namespace {

struct Loaded {
    std::unique_ptr<Module> module;
    TlsLibrary library;
    std::string error;
    bool ok = false;
};

template <typename F>
bool resolve(Module& module, const char* name, F& function, std::string& error) {
    function = reinterpret_cast<F>(module.symbol(name));
    if (!function && error.empty()) error = std::string("OpenSSL has no ") + name;
    return function != nullptr;
}

Loaded load() {
    Loaded loaded;
    // libssl brings libcrypto along, and its symbols are looked up through
    // the same handle. The version in the name is the one the headers
    // describe: another major version has other structures.
    std::string error;
    loaded.module = loadModule("libssl.so.3", error);
    if (!loaded.module) {
        loaded.error = "OpenSSL cannot be loaded (" + error + ")";
        return loaded;
    }
    Module& module = *loaded.module;
    TlsLibrary& t = loaded.library;
    // Every name is looked up, so the error names the first one missing.
    const bool all = resolve(module, "ERR_get_error", t.errGetError, loaded.error) &
                     resolve(module, "ERR_clear_error", t.errClearError, loaded.error) &
                     resolve(module, "ERR_reason_error_string", t.errReasonErrorString, loaded.error) &
                     resolve(module, "ERR_error_string_n", t.errErrorStringN, loaded.error) &
                     resolve(module, "BIO_new", t.bioNew, loaded.error) &
                     resolve(module, "BIO_s_mem", t.bioSMem, loaded.error) &
                     resolve(module, "BIO_free", t.bioFree, loaded.error) &
                     resolve(module, "BIO_ctrl", t.bioCtrl, loaded.error) &
                     resolve(module, "BIO_read", t.bioRead, loaded.error) &
                     resolve(module, "BIO_write", t.bioWrite, loaded.error) &
                     resolve(module, "d2i_X509", t.d2iX509, loaded.error) &
                     resolve(module, "X509_free", t.x509Free, loaded.error) &
                     resolve(module, "X509_STORE_add_cert", t.x509StoreAddCert, loaded.error) &
                     resolve(module, "X509_VERIFY_PARAM_set1_ip_asc", t.x509VerifyParamSet1IpAsc, loaded.error) &
                     resolve(module, "X509_verify_cert_error_string", t.x509VerifyCertErrorString, loaded.error) &
                     resolve(module, "HMAC", t.hmac, loaded.error) &
                     resolve(module, "EVP_sha256", t.evpSha256, loaded.error) &
                     resolve(module, "EVP_EncodeBlock", t.evpEncodeBlock, loaded.error) &
                     resolve(module, "TLS_client_method", t.tlsClientMethod, loaded.error) &
                     resolve(module, "SSL_CTX_new", t.sslCtxNew, loaded.error) &
                     resolve(module, "SSL_CTX_free", t.sslCtxFree, loaded.error) &
                     resolve(module, "SSL_CTX_ctrl", t.sslCtxCtrl, loaded.error) &
                     resolve(module, "SSL_CTX_set_default_verify_paths", t.sslCtxSetDefaultVerifyPaths, loaded.error) &
                     resolve(module, "SSL_CTX_set_verify", t.sslCtxSetVerify, loaded.error) &
                     resolve(module, "SSL_CTX_get_cert_store", t.sslCtxGetCertStore, loaded.error) &
                     resolve(module, "SSL_new", t.sslNew, loaded.error) &
                     resolve(module, "SSL_free", t.sslFree, loaded.error) &
                     resolve(module, "SSL_ctrl", t.sslCtrl, loaded.error) &
                     resolve(module, "SSL_set_bio", t.sslSetBio, loaded.error) &
                     resolve(module, "SSL_set_connect_state", t.sslSetConnectState, loaded.error) &
                     resolve(module, "SSL_get0_param", t.sslGet0Param, loaded.error) &
                     resolve(module, "SSL_set_hostflags", t.sslSetHostflags, loaded.error) &
                     resolve(module, "SSL_set1_host", t.sslSet1Host, loaded.error) &
                     resolve(module, "SSL_get_error", t.sslGetError, loaded.error) &
                     resolve(module, "SSL_get_verify_result", t.sslGetVerifyResult, loaded.error) &
                     resolve(module, "SSL_do_handshake", t.sslDoHandshake, loaded.error) &
                     resolve(module, "SSL_write", t.sslWrite, loaded.error) &
                     resolve(module, "SSL_read", t.sslRead, loaded.error) &
                     resolve(module, "SSL_shutdown", t.sslShutdown, loaded.error) &
                     resolve(module, "SSL_get_current_cipher", t.sslGetCurrentCipher, loaded.error) &
                     resolve(module, "SSL_get_version", t.sslGetVersion, loaded.error) &
                     resolve(module, "SSL_CIPHER_get_name", t.sslCipherGetName, loaded.error) &
                     resolve(module, "a2i_IPADDRESS", t.a2iIpAddress, loaded.error) &
                     resolve(module, "ASN1_OCTET_STRING_free", t.asn1OctetStringFree, loaded.error);
    loaded.ok = all;
    return loaded;
}

}  // namespace

const TlsLibrary* TlsLibrary::get(std::string& error) {
    static std::once_flag once;
    static Loaded* loaded = nullptr;
    // Never destroyed: a delivery thread may still be in a TLS exchange
    // while the program ends.
    std::call_once(once, [] { loaded = new Loaded(load()); });
    if (!loaded->ok) {
        error = loaded->error;
        return nullptr;
    }
    return &loaded->library;
}

}  // namespace platform
