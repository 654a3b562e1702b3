// Mail through Windows Sockets to a real SMTP server (aiosmtpd) that the
// test runner starts on 127.0.0.1 and names in the environment.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <rapidjson/document.h>

#include "mail/AlertDispatch.h"
#include "tests/support/TempDir.h"
#include "tests/win32/support/WinSmtpMessages.h"
#include "tests/win32/support/WinTestServer.h"

namespace {

std::string utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

class Win32MailTest : public ::testing::Test {
protected:
    void SetUp() override {
        port = environment("PROCWARD_SMTP_PORT");
        if (port.empty()) GTEST_SKIP() << "no SMTP server: PROCWARD_SMTP_PORT is not set (scripts/test-windows.sh starts one)";
        user = environment("PROCWARD_SMTP_USER");
        password = environment("PROCWARD_SMTP_PASSWORD");
        outdir = windowsPath(environment("PROCWARD_SMTP_OUTDIR"));
    }

    // A mail as the alerts send it, to the plain server: it speaks no TLS, so
    // the login goes in the clear as SMTP_SECURITY=none allows.
    MailOutcome send(const std::string& toPort, const std::string& pass, std::string subject, std::string body) {
        OutgoingMail mail;
        mail.server = "127.0.0.1";
        mail.port = toPort;
        mail.user = user;
        mail.password = pass;
        mail.security = SmtpSecurity::None;
        mail.subject = std::move(subject);
        mail.body = std::move(body);
        mail.recipients = "ops@example.test;";
        return DeliverMail(mail);
    }

    std::string port, user, password, outdir;
};

}  // namespace

TEST_F(Win32MailTest, AnAlertMailWithChineseTextArrivesInUtf8) {
    const int before = messageCount(outdir);
    const MailOutcome outcome = send(port, password, "26300 告警邮件", "gs1 started successfully: pid=4242 启动");
    ASSERT_TRUE(outcome.sent()) << outcome.errorText;
    ASSERT_EQ(before + 1, messageCount(outdir));
    rapidjson::Document message;
    ASSERT_TRUE(lastMessage(outdir, message));
    EXPECT_EQ(utf8(u8"26300 告警邮件"), message["subject"].GetString());
    EXPECT_EQ(0u, std::string(message["body"].GetString()).find(utf8(u8"gs1 started successfully: pid=4242 启动")));
    // UTF-8 whatever the system's code page (936 here).
    EXPECT_EQ("utf-8", std::string(message["body_charset"].GetString()));
    ASSERT_TRUE(message["rcpt_tos"].IsArray());
    ASSERT_EQ(1u, message["rcpt_tos"].Size());
    EXPECT_EQ("ops@example.test", std::string(message["rcpt_tos"][0].GetString()));
    // Every mail has an ID of its own (RFC 5322).
    std::string id;
    for (const auto& header : message["headers"].GetArray())
        if (std::string(header[0].GetString()) == "Message-ID") id = header[1].GetString();
    EXPECT_EQ(0u, id.find('<')) << id;
    EXPECT_NE(std::string::npos, id.find(".procward@")) << id;
    EXPECT_EQ(id.size() - 1, id.find('>')) << id;
}

TEST_F(Win32MailTest, AWrongPasswordIsRefusedAndNothingArrives) {
    const int before = messageCount(outdir);
    const MailOutcome outcome = send(port, password + "x", "s", "b");
    EXPECT_FALSE(outcome.sent());
    EXPECT_EQ(0u, outcome.errorText.rfind("Bad login or password", 0)) << outcome.errorText;
    EXPECT_EQ(before, messageCount(outdir));

    // Auto mode sends no password to a server without TLS.
    std::string error;
    EXPECT_FALSE(SendMail(error, "127.0.0.1", port, user, password, "s", "b", "ops@example.test", ""));
    EXPECT_EQ(0u, error.rfind("The mail server offers no TLS;", 0)) << error;
    EXPECT_EQ(before, messageCount(outdir));
}

TEST_F(Win32MailTest, ARefusedConnectionFailsWithoutWaiting) {
    const int closed = freePort();
    std::string error;
    EXPECT_FALSE(SendMail(error, "127.0.0.1", std::to_string(closed), user, password, "s", "b", "ops@example.test", ""));
    EXPECT_FALSE(error.empty());
}
