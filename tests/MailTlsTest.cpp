// Transport security of the mail client against real aiosmtpd servers on
// 127.0.0.1 with certificates made by the test: STARTTLS, implicit TLS,
// certificate and host name checks, the security modes, AUTH PLAIN.
#include <gtest/gtest.h>

#include "mail/Base64.h"
#include "mail/CSmtp.h"
#include "mail/ECSmtp.h"
#include "tests/support/InstrumentedSockets.h"
#include "tests/support/ScriptedSmtpPeer.h"
#include "tests/support/SmtpTestServer.h"
#include "tests/support/TestCertificates.h"

namespace {

using Security = SmtpTestServer::Security;

SmtpTestServer::Options serverWith(Security security, const TestCertificates::ServerCertificate& certificate,
                                   std::string mechanisms = {}) {
    SmtpTestServer::Options options;
    options.user = "alerts@example.test";
    options.password = "Tls pass 9";
    options.security = security;
    options.certificateFile = certificate.certificateFile;
    options.keyFile = certificate.keyFile;
    options.mechanisms = std::move(mechanisms);
    return options;
}

struct Attempt {
    int code = 0;  // 0: sent
    std::string errorText;
    std::vector<std::string> transcript;
    std::vector<std::string> warnings;

    bool saw(const std::string& line) const {
        for (const auto& l : transcript)
            if (l == line) return true;
        return false;
    }
    bool sawStart(const std::string& start) const {
        for (const auto& l : transcript)
            if (l.rfind(start, 0) == 0) return true;
        return false;
    }
    std::size_t count(const std::string& line) const {
        std::size_t n = 0;
        for (const auto& l : transcript) n += l == line;
        return n;
    }
};

Attempt sendThrough(const std::string& host, int port, const std::string& user, const std::string& password,
                    SmtpSecurity security, bool verify = true) {
    Attempt attempt;
    CSmtp client;
    client.SetServer(host, static_cast<std::uint16_t>(port));
    client.SetSecurity(security);
    client.SetTlsVerify(verify);
    client.SetLogin(user);
    client.SetPassword(password);
    client.SetSenderAddress(user);
    client.AddRecipient("ops@example.test");
    client.SetSubject("over TLS");
    client.AddMessageLine("alert body");
    client.SetTranscript([&](const std::string& line) { attempt.transcript.push_back(line); });
    try {
        client.Send();
    } catch (const ECSmtp& e) {
        attempt.code = e.GetErrorCode();
        attempt.errorText = e.GetErrorText();
    }
    attempt.warnings = client.GetWarnings();
    return attempt;
}

Attempt sendThrough(const SmtpTestServer& server, SmtpSecurity security, bool verify = true) {
    return sendThrough(server.host(), server.port(), server.user(), server.password(), security, verify);
}

class MailTlsTest : public ::testing::Test {
protected:
    const TestCertificates::Shared& certificates = TestCertificates::shared();
    ScopedTrustStore trust{certificates.authority.authorityFile()};
};

TEST_F(MailTlsTest, ServerThatRequiresStartTlsGetsItInAutoAndInStartTlsMode) {
    SmtpTestServer server(serverWith(Security::RequireStartTls, certificates.loopback));
    for (const SmtpSecurity mode : {SmtpSecurity::Auto, SmtpSecurity::StartTls}) {
        SCOPED_TRACE(SmtpSecurityName(mode));
        InstrumentedSockets sockets;
        const Attempt attempt = sendThrough(server, mode);
        ASSERT_EQ(0, attempt.code) << attempt.errorText;
        // EHLO again once the connection is safe, and only then the login.
        EXPECT_EQ(2u, attempt.count("C: EHLO " + [] {
            std::string host;
            platform::defaultSockets().hostName(host);
            return host;
        }()));
        EXPECT_TRUE(attempt.saw("C: STARTTLS"));
        EXPECT_TRUE(attempt.sawStart("* TLS session: TLSv1."));
        EXPECT_TRUE(attempt.warnings.empty());

        // Every byte went through the platform's sockets: the STARTTLS
        // command in the clear, the credentials and the mail only encrypted.
        const std::string wire = sockets.sentBytes();
        EXPECT_NE(std::string::npos, wire.find("STARTTLS\r\n"));
        EXPECT_EQ(std::string::npos, wire.find(Base64Encode(server.password())));
        EXPECT_EQ(std::string::npos, wire.find(Base64Encode(server.user())));
        EXPECT_EQ(std::string::npos, wire.find("MAIL FROM"));
        EXPECT_EQ(std::string::npos, wire.find("alert body"));
    }
    const auto messages = server.waitForMessages(2);
    ASSERT_EQ(2u, messages.size()) << server.serverLog();
    for (const auto& m : messages) {
        EXPECT_EQ(0u, m.tlsVersion.rfind("TLSv1.", 0)) << m.tlsVersion;
        EXPECT_NE("TLSv1.1", m.tlsVersion);
        EXPECT_EQ(server.user(), m.authLogin);
        EXPECT_EQ("alert body\n\n", m.body);
    }
}

TEST_F(MailTlsTest, PlainModeAgainstAServerThatRequiresStartTlsKeepsTheServersReason) {
    SmtpTestServer server(serverWith(Security::RequireStartTls, certificates.loopback));
    const Attempt attempt = sendThrough(server, SmtpSecurity::None);
    // It offers no AUTH before TLS, so none is asked for: the mail itself is
    // refused, in the server's words.
    EXPECT_EQ(300, attempt.code);
    EXPECT_EQ("Server returned error after sending MAIL FROM (530 Must issue a STARTTLS command first)",
              attempt.errorText);
    EXPECT_FALSE(attempt.saw("C: STARTTLS"));
    EXPECT_FALSE(attempt.saw("C: AUTH LOGIN"));
    EXPECT_TRUE(server.messages().empty());
}

TEST_F(MailTlsTest, ImplicitTlsListenerInTlsModeAndInAutoModeOnPort465) {
    SmtpTestServer server(serverWith(Security::ImplicitTls, certificates.loopback));
    {
        const Attempt attempt = sendThrough(server, SmtpSecurity::Tls);
        ASSERT_EQ(0, attempt.code) << attempt.errorText;
        // The handshake comes before the greeting.
        ASSERT_GE(attempt.transcript.size(), 3u);
        EXPECT_EQ(0u, attempt.transcript[1].rfind("* Starting TLS", 0)) << attempt.transcript[1];
        EXPECT_FALSE(attempt.saw("C: STARTTLS"));
    }
    {
        // Port 465 means implicit TLS; the test sends the connection to the
        // server's own port.
        InstrumentedSockets sockets;
        sockets.redirectPort = static_cast<std::uint16_t>(server.port());
        const Attempt attempt =
            sendThrough(server.host(), 465, server.user(), server.password(), SmtpSecurity::Auto);
        ASSERT_EQ(0, attempt.code) << attempt.errorText;
        EXPECT_EQ(std::vector<std::uint16_t>{465}, sockets.connectPorts);
        // A TLS record, not an SMTP command, is the first thing sent.
        ASSERT_FALSE(sockets.sentBytes().empty());
        EXPECT_EQ('\x16', sockets.sentBytes()[0]);
    }
    {
        // Plain mode on a TLS port: the greeting never comes in the clear.
        Attempt attempt = [&] {
            CSmtp client;
            client.SetServer(server.host(), static_cast<std::uint16_t>(server.port()));
            client.SetSecurity(SmtpSecurity::None);
            client.SetWaitLimit(std::chrono::milliseconds(300));
            client.SetLogin("u");
            client.SetPassword("p");
            client.SetSenderAddress("u@example.test");
            client.AddRecipient("ops@example.test");
            Attempt a;
            try {
                client.Send();
            } catch (const ECSmtp& e) {
                a.code = e.GetErrorCode();
            }
            return a;
        }();
        EXPECT_EQ(402, attempt.code);
    }
    const auto messages = server.waitForMessages(2);
    ASSERT_EQ(2u, messages.size());
    EXPECT_FALSE(messages[0].tlsVersion.empty());
}

TEST_F(MailTlsTest, UntrustedCertificateIsRefusedBeforeAnyLogin) {
    for (const Security security : {Security::StartTls, Security::ImplicitTls}) {
        SmtpTestServer server(serverWith(security, certificates.untrusted));
        const Attempt attempt =
            sendThrough(server, security == Security::ImplicitTls ? SmtpSecurity::Tls : SmtpSecurity::Auto);
        EXPECT_EQ(502, attempt.code);
        EXPECT_EQ("Server certificate not trusted: unable to get local issuer certificate", attempt.errorText);
        EXPECT_FALSE(attempt.sawStart("C: AUTH"));
        EXPECT_FALSE(attempt.sawStart("C: MAIL"));
        EXPECT_TRUE(server.messages().empty());
    }
}

TEST_F(MailTlsTest, CertificateForAnotherHostIsAMismatch) {
    SmtpTestServer server(serverWith(Security::StartTls, certificates.otherHost));
    const Attempt byAddress = sendThrough(server, SmtpSecurity::StartTls);
    EXPECT_EQ(503, byAddress.code);
    EXPECT_EQ("Server certificate does not match the host name: 127.0.0.1", byAddress.errorText);
    const Attempt byName = sendThrough("localhost", server.port(), server.user(), server.password(),
                                       SmtpSecurity::StartTls);
    EXPECT_EQ("Server certificate does not match the host name: localhost", byName.errorText);
    EXPECT_FALSE(byName.sawStart("C: AUTH"));
    EXPECT_TRUE(server.messages().empty());
}

TEST_F(MailTlsTest, HostNameGoesOutAsSniAndIsChecked) {
    SmtpTestServer server(serverWith(Security::StartTls, certificates.loopback));
    ASSERT_EQ(0, sendThrough("localhost", server.port(), server.user(), server.password(), SmtpSecurity::Auto).code);
    // An address is no server name: no SNI, the certificate's IP entry counts.
    ASSERT_EQ(0, sendThrough(server, SmtpSecurity::Auto).code);
    EXPECT_EQ("localhost\n\n", server.serverNamesSeen());
    EXPECT_EQ(2u, server.waitForMessages(2).size());
}

TEST_F(MailTlsTest, WithoutVerificationAnyCertificateIsTakenWithOneWarning) {
    SmtpTestServer server(serverWith(Security::StartTls, certificates.untrusted));
    const Attempt attempt = sendThrough(server, SmtpSecurity::StartTls, false);
    ASSERT_EQ(0, attempt.code) << attempt.errorText;
    EXPECT_EQ(std::vector<std::string>{"TLS certificate of 127.0.0.1 was not checked (SMTP_TLS_VERIFY=0)"},
              attempt.warnings);
    const auto messages = server.waitForMessages(1);
    ASSERT_EQ(1u, messages.size());
    EXPECT_FALSE(messages[0].tlsVersion.empty());

    // A plain server gets no such warning: no certificate was skipped (only
    // the password's lack of protection is pointed out).
    SmtpTestServer plain;
    const Attempt clear = sendThrough(plain, SmtpSecurity::None, false);
    ASSERT_EQ(0, clear.code) << clear.errorText;
    EXPECT_EQ(std::vector<std::string>{"The password was sent to 127.0.0.1 without TLS (SMTP_SECURITY=none)"},
              clear.warnings);
}

TEST_F(MailTlsTest, StartTlsModeStopsBeforeAuthWhenTheServerDoesNotOfferIt) {
    ScriptedSmtpPeer peer;  // offers AUTH, no STARTTLS
    const Attempt attempt = sendThrough("127.0.0.1", peer.port(), "u@example.test", "secret", SmtpSecurity::StartTls);
    EXPECT_EQ(504, attempt.code);
    EXPECT_EQ("Server does not offer STARTTLS, which the settings require", attempt.errorText);
    peer.waitFinished();
    ASSERT_EQ(1u, peer.commands().size());
    EXPECT_EQ(0u, peer.commands()[0].rfind("EHLO ", 0));
    EXPECT_EQ(std::string::npos, peer.received().find(Base64Encode("secret")));

    // Auto mode keeps the login from it as well; none sends it in the clear.
    ScriptedSmtpPeer again;
    const Attempt automatic = sendThrough("127.0.0.1", again.port(), "u@example.test", "secret", SmtpSecurity::Auto);
    EXPECT_EQ(416, automatic.code);
    EXPECT_FALSE(automatic.sawStart("C: AUTH"));
    ScriptedSmtpPeer plain;
    EXPECT_EQ(0, sendThrough("127.0.0.1", plain.port(), "u@example.test", "secret", SmtpSecurity::None).code);
}

TEST_F(MailTlsTest, StartTlsRefusedOrPlainDataAfterItIsNotTaken) {
    ScriptedSmtpPeer::Replies replies;
    replies.ehlo = "250-peer\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n";
    ScriptedSmtpPeer peer(replies);  // answers STARTTLS as an unknown command
    const Attempt attempt = sendThrough("127.0.0.1", peer.port(), "u@example.test", "p", SmtpSecurity::Auto);
    EXPECT_EQ(505, attempt.code);
    EXPECT_EQ("Server refused STARTTLS (500 5.5.2 Error: command not recognized)", attempt.errorText);
    EXPECT_FALSE(attempt.sawStart("C: AUTH"));
}

TEST_F(MailTlsTest, ServerThatOffersOnlyAuthPlainGetsIt) {
    SmtpTestServer server(serverWith(Security::RequireStartTls, certificates.loopback, "PLAIN"));
    const Attempt attempt = sendThrough(server, SmtpSecurity::Auto);
    ASSERT_EQ(0, attempt.code) << attempt.errorText;
    EXPECT_TRUE(attempt.saw("C: AUTH PLAIN ********"));
    EXPECT_FALSE(attempt.saw("C: AUTH LOGIN"));
    const auto messages = server.waitForMessages(1);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(server.user(), messages[0].authLogin);

    // Wrong password: a bad login, with the server's words.
    const Attempt refused = sendThrough(server.host(), server.port(), server.user(), "wrong", SmtpSecurity::Auto);
    EXPECT_EQ(406, refused.code);
    EXPECT_EQ(0u, refused.errorText.rfind("Bad login or password (535 "));

    // On the wire: one command with the credentials, NUL-separated.
    ScriptedSmtpPeer::Replies replies;
    replies.ehlo = "250-peer\r\n250 AUTH PLAIN\r\n";
    replies.auth = "235 2.7.0 ok\r\n";
    ScriptedSmtpPeer peer(replies);
    ASSERT_EQ(0, sendThrough("127.0.0.1", peer.port(), "u@example.test", "p w", SmtpSecurity::None).code);
    peer.waitFinished();
    EXPECT_EQ("AUTH PLAIN " + Base64Encode(std::string("\0u@example.test\0p w", 19)), peer.commands()[1]);
}

TEST_F(MailTlsTest, TranscriptShowsTheConversationWithCredentialsMasked) {
    SmtpTestServer server(serverWith(Security::StartTls, certificates.loopback));
    const Attempt attempt = sendThrough(server, SmtpSecurity::Auto);
    ASSERT_EQ(0, attempt.code) << attempt.errorText;
    EXPECT_TRUE(attempt.sawStart("* Connecting to 127.0.0.1 port "));
    EXPECT_TRUE(attempt.sawStart("S: 220 "));
    EXPECT_TRUE(attempt.sawStart("S: 250-STARTTLS") || attempt.saw("S: 250 STARTTLS"));
    EXPECT_TRUE(attempt.saw("C: AUTH LOGIN"));
    EXPECT_EQ(2u, attempt.count("C: ********"));
    EXPECT_TRUE(attempt.saw("C: MAIL FROM:<" + server.user() + ">"));
    EXPECT_TRUE(attempt.saw("C: RCPT TO:<ops@example.test>"));
    EXPECT_TRUE(attempt.saw("C: QUIT"));
    EXPECT_TRUE(attempt.sawStart("S: 221"));
    for (const auto& line : attempt.transcript) {
        EXPECT_EQ(std::string::npos, line.find(server.password())) << line;
        EXPECT_EQ(std::string::npos, line.find(Base64Encode(server.password()))) << line;
        EXPECT_EQ(std::string::npos, line.find(Base64Encode(server.user()))) << line;
    }
}

TEST_F(MailTlsTest, EmptyUserSendsNoAuthOverTlsEither) {
    SmtpTestServer::Options options = serverWith(Security::StartTls, certificates.loopback);
    options.requireAuth = false;  // offers AUTH after STARTTLS, needs none
    SmtpTestServer server(options);
    for (const SmtpSecurity mode : {SmtpSecurity::Auto, SmtpSecurity::StartTls}) {
        SCOPED_TRACE(SmtpSecurityName(mode));
        const Attempt attempt = sendThrough(server.host(), server.port(), "", "unused", mode);
        ASSERT_EQ(0, attempt.code) << attempt.errorText;
        EXPECT_TRUE(attempt.sawStart("* TLS session: TLSv1."));
        EXPECT_TRUE(attempt.sawStart("S: 250-AUTH") || attempt.sawStart("S: 250 AUTH"));
        EXPECT_FALSE(attempt.sawStart("C: AUTH"));
        EXPECT_TRUE(attempt.warnings.empty());
    }
    const auto messages = server.waitForMessages(2);
    ASSERT_EQ(2u, messages.size());
    for (const auto& m : messages) {
        EXPECT_EQ("", m.authLogin);
        EXPECT_FALSE(m.tlsVersion.empty());
    }
}

}  // namespace
