// Mail over TLS through Windows Sockets and the statically linked OpenSSL
// to real SMTP servers (aiosmtpd) that the test runner starts on 127.0.0.1
// with a certificate made at test time: STARTTLS, TLS from the first byte,
// an authority nobody trusts, and one trusted through the Windows store.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <rapidjson/document.h>

#include "mail/AlertDispatch.h"
#include "platform/TrustedRoots.h"
#include "tests/support/TempDir.h"
#include "tests/win32/support/WinSmtpMessages.h"

namespace {

// The DER bytes of the first certificate of a PEM file; empty when none.
std::string derOf(const std::string& pemFile) {
    const std::string pem = readFile(pemFile);
    DWORD size = 0;
    if (pem.empty() || !::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                               nullptr, &size, nullptr, nullptr))
        return {};
    std::string der(size, '\0');
    if (!::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr))
        return {};
    der.resize(size);
    return der;
}

class Win32MailTlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        startTlsPort = environment("PROCWARD_SMTP_STARTTLS_PORT");
        tlsPort = environment("PROCWARD_SMTP_TLS_PORT");
        if (startTlsPort.empty() || tlsPort.empty())
            GTEST_SKIP() << "no TLS mail servers: scripts/test-windows.sh starts them";
        startTlsOutdir = windowsPath(environment("PROCWARD_SMTP_STARTTLS_OUTDIR"));
        tlsOutdir = windowsPath(environment("PROCWARD_SMTP_TLS_OUTDIR"));
        authority = windowsPath(environment("PROCWARD_TLS_AUTHORITY"));
        stranger = windowsPath(environment("PROCWARD_TLS_STRANGER"));
    }
    void TearDown() override { trust(""); }

    // OpenSSL's default verify paths take the file named by SSL_CERT_FILE.
    static void trust(const std::string& pemFile) { ::_putenv_s("SSL_CERT_FILE", pemFile.c_str()); }

    MailOutcome send(const std::string& port, SmtpSecurity security, bool verify) {
        OutgoingMail mail;
        mail.server = "127.0.0.1";
        mail.port = port;
        mail.user = environment("PROCWARD_SMTP_USER");
        mail.password = environment("PROCWARD_SMTP_PASSWORD");
        mail.security = security;
        mail.tlsVerify = verify;
        mail.subject = "over TLS";
        mail.body = "gs1 stopped";
        mail.recipients = "ops@example.test";
        return DeliverMail(mail);
    }

    std::string startTlsPort, tlsPort, startTlsOutdir, tlsOutdir, authority, stranger;
};

}  // namespace

TEST_F(Win32MailTlsTest, StartTlsAndImplicitTlsDeliverWithTheCertificateChecked) {
    trust(authority);
    struct Case {
        const std::string& port;
        SmtpSecurity security;
        const std::string& outdir;
    };
    for (const Case& c : {Case{startTlsPort, SmtpSecurity::StartTls, startTlsOutdir},
                          Case{startTlsPort, SmtpSecurity::Auto, startTlsOutdir},
                          Case{tlsPort, SmtpSecurity::Tls, tlsOutdir}}) {
        SCOPED_TRACE(SmtpSecurityName(c.security));
        const int before = messageCount(c.outdir);
        const MailOutcome outcome = send(c.port, c.security, true);
        ASSERT_TRUE(outcome.sent()) << outcome.errorText;
        EXPECT_TRUE(outcome.warnings.empty());
        ASSERT_EQ(before + 1, messageCount(c.outdir));
        rapidjson::Document message;
        ASSERT_TRUE(lastMessage(c.outdir, message));
        EXPECT_EQ(0, std::string(message["tls_version"].GetString()).rfind("TLSv1.", 0));
        EXPECT_EQ("over TLS", std::string(message["subject"].GetString()));
    }
}

TEST_F(Win32MailTlsTest, AServerOfAnAuthorityNobodyTrustsGetsNoMailUnlessTheCheckIsOff) {
    trust(stranger);
    const int before = messageCount(tlsOutdir);
    const MailOutcome refused = send(tlsPort, SmtpSecurity::Tls, true);
    EXPECT_FALSE(refused.sent());
    EXPECT_NE(std::string::npos, refused.errorText.find("certificate")) << refused.errorText;
    EXPECT_EQ(before, messageCount(tlsOutdir));

    const MailOutcome unchecked = send(tlsPort, SmtpSecurity::Tls, false);
    ASSERT_TRUE(unchecked.sent()) << unchecked.errorText;
    EXPECT_FALSE(unchecked.warnings.empty());
    EXPECT_EQ(before + 1, messageCount(tlsOutdir));
}

TEST(Win32TrustedRootsTest, TheRootStoreGivesWholeCertificates) {
    const std::vector<std::string> roots = platform::systemRootCertificates();
    if (roots.empty()) GTEST_SKIP() << "this system's ROOT store holds no certificate";
    for (const std::string& der : roots) {
        PCCERT_CONTEXT parsed = ::CertCreateCertificateContext(
            X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()));
        EXPECT_NE(nullptr, parsed);
        if (parsed) ::CertFreeCertificateContext(parsed);
    }
}

// OpenSSL reads no Windows certificate store by itself: the authorities of
// the store "ROOT" are added to every checked session.
TEST_F(Win32MailTlsTest, AnAuthorityInTheWindowsRootStoreIsTrusted) {
    trust(stranger);
    const std::string der = derOf(authority);
    ASSERT_FALSE(der.empty()) << "cannot read " << authority;
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "ROOT");
    if (!store) GTEST_SKIP() << "the user's ROOT store cannot be opened (error " << ::GetLastError() << ")";
    PCCERT_CONTEXT added = nullptr;
    if (!::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                            static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                            &added)) {
        const DWORD error = ::GetLastError();
        ::CertCloseStore(store, 0);
        GTEST_SKIP() << "no certificate can be added to the user's ROOT store (error " << error << ")";
    }
    const auto remove = [&] {
        ::CertDeleteCertificateFromStore(added);
        ::CertCloseStore(store, 0);
    };
    bool listed = false;
    for (const std::string& root : platform::systemRootCertificates()) listed = listed || root == der;
    if (!listed) {
        remove();
        // Wine builds its ROOT store from the host's certificates on every
        // open and keeps nothing added to it.
        GTEST_SKIP() << "a certificate added to the ROOT store does not show when the store is opened again";
    }
    const int before = messageCount(tlsOutdir);
    const MailOutcome outcome = send(tlsPort, SmtpSecurity::Tls, true);
    remove();
    ASSERT_TRUE(outcome.sent()) << outcome.errorText;
    EXPECT_EQ(before + 1, messageCount(tlsOutdir));

    // Gone from the store, it is trusted no more.
    const MailOutcome after = send(tlsPort, SmtpSecurity::Tls, true);
    EXPECT_FALSE(after.sent());
}
