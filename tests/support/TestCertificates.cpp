#include "tests/support/TestCertificates.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace {

const char* const kOpenssl = "/usr/bin/openssl";

// Runs openssl quietly; throws with its output when it fails.
void openssl(const std::vector<std::string>& args, const std::string& logFile) {
    std::vector<std::string> all{kOpenssl};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (std::freopen(logFile.c_str(), "w", stdout) && std::freopen(logFile.c_str(), "a", stderr)) {
        }
        ::execv(kOpenssl, argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("openssl " + args[0] + " failed: " + readFile(logFile));
}

}  // namespace

TestCertificates::TestCertificates()
    : authority_(dir_.file("authority.pem")), authorityKey_(dir_.file("authority.key")) {
    openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
             authorityKey_, "-out", authority_, "-days", "3", "-subj", "/CN=Procward test authority", "-addext",
             "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
            dir_.file("openssl.log"));
}

TestCertificates::ServerCertificate TestCertificates::issue(const std::string& name, const std::string& altNames) {
    ServerCertificate made{dir_.file(name + ".pem"), dir_.file(name + ".key")};
    const std::string request = dir_.file(name + ".csr");
    const std::string extensions = dir_.file(name + ".ext");
    writeFile(extensions, "subjectAltName=" + altNames +
                              "\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n");
    openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
             made.keyFile, "-out", request, "-subj", "/CN=" + name},
            dir_.file("openssl.log"));
    openssl({"x509", "-req", "-in", request, "-CA", authority_, "-CAkey", authorityKey_, "-CAcreateserial", "-out",
             made.certificateFile, "-days", "3", "-extfile", extensions},
            dir_.file("openssl.log"));
    return made;
}

const TestCertificates::Shared& TestCertificates::shared() {
    // Removed with its directories at the end of the program.
    static Shared certificates;
    static const bool issued = [] {
        certificates.loopback = certificates.authority.issue("loopback", "IP:127.0.0.1,DNS:localhost");
        certificates.otherHost = certificates.authority.issue("other-host", "DNS:mail.example.test");
        certificates.untrusted = certificates.untrustedAuthority.issue("untrusted", "IP:127.0.0.1,DNS:localhost");
        return true;
    }();
    (void)issued;
    return certificates;
}

ScopedTrustStore::ScopedTrustStore(const std::string& certificateFile) {
    ::setenv("SSL_CERT_FILE", certificateFile.c_str(), 1);
    ::setenv("SSL_CERT_DIR", emptyDir_.path().c_str(), 1);
}

ScopedTrustStore::~ScopedTrustStore() {
    ::unsetenv("SSL_CERT_FILE");
    ::unsetenv("SSL_CERT_DIR");
}
