#pragma once
#include <string>

#include "tests/support/TempDir.h"

// Certificates made at test time with the openssl command-line tool: a
// certificate authority of the test's own and server certificates it signs.
class TestCertificates {
public:
    struct ServerCertificate {
        std::string certificateFile;  // PEM
        std::string keyFile;          // PEM, unencrypted
    };

    // Makes a new authority; throws std::runtime_error when openssl fails.
    TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    // The authority's certificate, to be trusted through SSL_CERT_FILE.
    const std::string& authorityFile() const { return authority_; }

    // A server certificate signed by the authority, for the subject
    // alternative names given as openssl writes them
    // ("IP:127.0.0.1,DNS:localhost").
    ServerCertificate issue(const std::string& name, const std::string& altNames);

    // One authority for the whole test program with the certificates the
    // tests use: for 127.0.0.1 and localhost; for mail.example.test only;
    // and one for 127.0.0.1 signed by a second authority that nobody trusts.
    struct Shared;
    static const Shared& shared();

private:
    TempDir dir_;
    std::string authority_;
    std::string authorityKey_;
};

struct TestCertificates::Shared {
    TestCertificates authority;
    ServerCertificate loopback;
    ServerCertificate otherHost;
    TestCertificates untrustedAuthority;
    ServerCertificate untrusted;
};

// Makes the process trust exactly one certificate file (SSL_CERT_FILE, with
// SSL_CERT_DIR pointed at nothing) while it lives.
class ScopedTrustStore {
public:
    explicit ScopedTrustStore(const std::string& certificateFile);
    ~ScopedTrustStore();
    ScopedTrustStore(const ScopedTrustStore&) = delete;
    ScopedTrustStore& operator=(const ScopedTrustStore&) = delete;

private:
    TempDir emptyDir_;
};
