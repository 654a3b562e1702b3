#include <windows.h>
#include <wincrypt.h>

#include "platform/TrustedRoots.h"

namespace platform {

std::vector<std::string> systemRootCertificates() {
    std::vector<std::string> certificates;
    HCERTSTORE store = ::CertOpenSystemStoreA(0, "ROOT");
    if (!store) return certificates;
    for (PCCERT_CONTEXT certificate = nullptr;
         (certificate = ::CertEnumCertificatesInStore(store, certificate)) != nullptr;) {
        if (certificate->dwCertEncodingType & X509_ASN_ENCODING)
            certificates.emplace_back(reinterpret_cast<const char*>(certificate->pbCertEncoded),
                                      certificate->cbCertEncoded);
    }
    ::CertCloseStore(store, 0);
    return certificates;
}

}  // namespace platform
