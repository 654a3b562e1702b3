#pragma once
#include <string>
#include <vector>

// The certificate authorities the system trusts that the TLS library does
// not find by itself, each certificate as its DER bytes.
namespace platform {

// None here: OpenSSL's default verify paths are the system's own store.
// On Windows, whose store OpenSSL does not read, the certificates of the
// system store "ROOT" as the current user sees it (the machine's roots and
// the user's own).
std::vector<std::string> systemRootCertificates();

}  // namespace platform
