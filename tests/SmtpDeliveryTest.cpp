// Messages of CSmtp and of the alert path (DeliverMail) as a real SMTP
// server receives them and a real mail parser reads them: header lines,
// encoded words, body charset and transfer encoding, dot handling,
// attachments, and when a login is sent at all.
#include <sys/stat.h>

#include <regex>

#include <gtest/gtest.h>

#include "mail/AlertDispatch.h"
#include "mail/Base64.h"
#include "mail/CSmtp.h"
#include "mail/ECSmtp.h"
#include "mail/MailClock.h"
#include "platform/Sockets.h"
#include "platform/System.h"
#include "tests/support/InstrumentedSockets.h"
#include "tests/support/SmtpTestServer.h"
#include "tests/support/TempDir.h"

namespace {

// Bytes 0..255 over and over, so every base64 character turns up.
std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return bytes;
}

// The lines sent after each attachment part header, up to the next
// boundary line.
std::vector<std::vector<std::string>> attachmentLines(const std::string& body) {
    std::vector<std::vector<std::string>> parts;
    const std::string start = "Content-Disposition: attachment;";
    for (auto pos = body.find(start); pos != std::string::npos; pos = body.find(start, pos + 1)) {
        std::size_t line = body.find("\r\n\r\n", pos) + 4;
        std::vector<std::string> lines;
        for (;;) {
            const auto end = body.find("\r\n", line);
            if (end == std::string::npos) break;
            const std::string text = body.substr(line, end - line);
            if (text.rfind("--__MESSAGE__ID__", 0) == 0) break;
            lines.push_back(text);
            line = end + 2;
        }
        parts.push_back(lines);
    }
    return parts;
}

// A mail to ops@example.test as the alerts are sent, through a test server.
// The servers here speak no TLS, so the login goes in the clear as
// SMTP_SECURITY=none allows, unless the test asks for another mode.
OutgoingMail mailThrough(const SmtpTestServer& server, SmtpSecurity security = SmtpSecurity::None) {
    OutgoingMail mail;
    mail.server = server.host();
    mail.port = server.portText();
    mail.user = server.user();
    mail.password = server.password();
    mail.security = security;
    mail.recipients = "ops@example.test";
    return mail;
}

std::string plainPasswordWarning() { return "The password was sent to 127.0.0.1 without TLS (SMTP_SECURITY=none)"; }

// This computer's name as mail gives it: with its domain where known.
std::string localHost() {
    std::string host;
    EXPECT_TRUE(platform::sockets().hostName(host));
    return host;
}

class SmtpDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override { SetMailClock([] { return std::int64_t{1614935047}; }); }
    void TearDown() override { SetMailClock({}); }

    void configure(CSmtp& client) {
        client.SetServer(server.host(), static_cast<std::uint16_t>(server.port()));
        client.SetSecurity(SmtpSecurity::None);
        client.SetLogin(server.user());
        client.SetPassword(server.password());
        client.SetSenderAddress(server.user());
    }

    SmtpTestServer server{"mailer@example.test", "Pa55 word"};
    TempDir dir;
};

TEST_F(SmtpDeliveryTest, AsciiMessageKeepsThePlainHeaderLinesAndArrivesWhole) {
    OutgoingMail mail = mailThrough(server);
    mail.subject = "Tessera SMTP test mail";
    mail.body = "SMTP Setting Test Mail";
    const MailOutcome outcome = DeliverMail(mail);
    ASSERT_TRUE(outcome.sent()) << outcome.errorText;
    EXPECT_EQ(std::vector<std::string>{plainPasswordWarning()}, outcome.warnings);
    const auto messages = server.waitForMessages(1);
    ASSERT_EQ(1u, messages.size());
    const auto& m = messages[0];
    ASSERT_GE(m.headerLines.size(), 2u);
    EXPECT_EQ(0u, m.headerLines[0].rfind("Date: ", 0));
    EXPECT_TRUE(std::regex_match(m.headerLines[1], std::regex(R"(Message-ID: <[0-9a-f.]+\.procward@example\.test>)")))
        << m.headerLines[1];
    const std::vector<std::string> rest(m.headerLines.begin() + 2, m.headerLines.end());
    const std::vector<std::string> expected{
        "From: 26300 Tessera <mailer@example.test>",
        "X-Mailer: The Bat! (v3.02) Professional",
        "Reply-To: mailer@example.test",
        "X-Priority: 3 (Normal)",
        "To: <ops@example.test>",
        "Subject: Tessera SMTP test mail",
        "MIME-Version: 1.0",
        "Content-type: text/plain; charset=US-ASCII",
        "Content-Transfer-Encoding: 7bit",
    };
    EXPECT_EQ(expected, rest);
    EXPECT_EQ("Tessera SMTP test mail", m.subject);
    EXPECT_EQ("text/plain", m.bodyContentType);
    EXPECT_EQ("", m.tlsVersion);  // the server offers no TLS: plain, as before
    EXPECT_EQ("SMTP Setting Test Mail\n\n", m.body);
    EXPECT_TRUE(m.defects.empty());

    // SMTP_FROM: the sender and its reply address, the account only logs in;
    // every mail has an ID of its own.
    mail.from = "alerts@ops.example.test";
    ASSERT_TRUE(DeliverMail(mail).sent());
    const auto both = server.waitForMessages(2);
    ASSERT_EQ(2u, both.size());
    EXPECT_EQ("mailer@example.test", both[1].authLogin);
    EXPECT_EQ("alerts@ops.example.test", both[1].mailFrom);
    EXPECT_EQ("26300 Tessera <alerts@ops.example.test>", both[1].header("From"));
    EXPECT_EQ("alerts@ops.example.test", both[1].header("Reply-To"));
    EXPECT_TRUE(both[1].header("Message-ID").ends_with(".procward@ops.example.test>")) << both[1].header("Message-ID");
    EXPECT_NE(m.header("Message-ID"), both[1].header("Message-ID"));
}

TEST_F(SmtpDeliveryTest, EightBitNamesAndSubjectAreEncodedAndDecodeToTheOriginal) {
    CSmtp client;
    configure(client);
    const std::string subject = "26300 告警邮件：服务器进程已停止，将立即重新启动，请值班人员关注后续告警邮件";
    client.SetSubject(subject);
    client.SetSenderName("运维 Ops");
    client.AddRecipient("a@example.test", "值班 一");
    client.AddRecipient("b@example.test");
    client.AddCcRecipient("c@example.test", "Copy");
    client.AddBccRecipient("d@example.test");
    client.AddMessageLine("第一行");
    client.AddMessageLine("plain second line");
    client.Send();

    const auto messages = server.waitForMessages(1);
    ASSERT_EQ(1u, messages.size());
    const auto& m = messages[0];
    EXPECT_EQ((std::vector<std::string>{"a@example.test", "b@example.test", "c@example.test", "d@example.test"}),
              m.rcptTos);
    EXPECT_EQ(subject, m.subject);
    using Mailboxes = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ((Mailboxes{{"运维 Ops", "mailer@example.test"}}), m.addresses("From"));
    EXPECT_EQ((Mailboxes{{"值班 一", "a@example.test"}, {"", "b@example.test"}}), m.addresses("To"));
    EXPECT_EQ((Mailboxes{{"Copy", "c@example.test"}}), m.addresses("Cc"));
    EXPECT_TRUE(m.defects.empty()) << m.defects[0];
    EXPECT_EQ("第一行\nplain second line\n\n", m.body);
    EXPECT_EQ("utf-8", m.bodyCharset);
    EXPECT_EQ("8bit", m.bodyTransferEncoding);
    // Only 7-bit bytes in the header; long words are folded onto new lines.
    for (const auto& line : m.headerLines) {
        for (const char c : line) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << line;
        EXPECT_LE(line.size(), 90u) << line;
    }
}

TEST_F(SmtpDeliveryTest, LinesWithDotsArriveAsWrittenInOneMessage) {
    OutgoingMail mail = mailThrough(server);
    mail.subject = "dots";
    mail.body = ".hidden dot\n.\nMAIL FROM:<evil@example.test>\r\nRCPT TO:<evil@example.test>\r\n.\r\nend";
    const MailOutcome outcome = DeliverMail(mail);
    ASSERT_TRUE(outcome.sent()) << outcome.errorText;
    const auto messages = server.waitForMessages(1);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(".hidden dot\n.\nMAIL FROM:<evil@example.test>\nRCPT TO:<evil@example.test>\n.\nend\n\n",
              messages[0].body);
    EXPECT_EQ(std::vector<std::string>{"ops@example.test"}, messages[0].rcptTos);
}

TEST_F(SmtpDeliveryTest, AttachmentsArriveDecodedInChunksOf54Bytes) {
    const std::pair<const char*, std::size_t> files[] = {{"empty.bin", 0}, {"exact.bin", 54}, {"over.bin", 55},
                                                         {"batches.bin", 20000}};
    CSmtp client;
    configure(client);
    client.AddRecipient("ops@example.test");
    client.AddMessageLine("see the files");
    for (const auto& [name, size] : files) {
        writeFile(dir.file(name), pattern(size));
        client.AddAttachment(dir.file(name));
    }
    client.Send();

    const auto messages = server.waitForMessages(1);
    ASSERT_EQ(1u, messages.size());
    const auto& m = messages[0];
    EXPECT_TRUE(m.multipart);
    EXPECT_EQ("text/plain", m.bodyContentType);
    EXPECT_EQ("us-ascii", m.bodyCharset);
    EXPECT_EQ("see the files", m.body);  // its line break belongs to the boundary
    ASSERT_EQ(4u, m.attachments.size());
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(files[i].first, m.attachments[i].fileName);
        EXPECT_EQ("application/x-msdownload", m.attachments[i].contentType);
        EXPECT_EQ(pattern(files[i].second), m.attachments[i].bytes) << files[i].first;
    }
    const auto lines = attachmentLines(m.rawBody());
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(std::vector<std::string>{""}, lines[0]);
    EXPECT_EQ((std::vector<std::string>{Base64Encode(pattern(54)), ""}), lines[1]);
    ASSERT_EQ(2u, lines[2].size());
    EXPECT_EQ(72u, lines[2][0].size());
    EXPECT_EQ(4u, lines[2][1].size());
    EXPECT_TRUE(lines[2][1].ends_with("=="));
    // The closing boundary starts with a line break of its own.
    ASSERT_EQ(20000u / 54 + 1 + 1, lines[3].size());
    EXPECT_EQ("", lines[3].back());
    EXPECT_TRUE(m.data.ends_with("\r\n--__MESSAGE__ID__54yg6f6h6y456345--\r\n\r\n"));
    EXPECT_TRUE(m.defects.empty());
}

TEST_F(SmtpDeliveryTest, LargestAllowedAttachmentAndLongPathsArriveWhole) {
    // A path of more than 254 bytes is used whole.
    std::string path = dir.path();
    while (path.size() < 300) {
        path += "/a-rather-long-directory-name-for-the-attachment";
        ASSERT_EQ(0, ::mkdir(path.c_str(), 0777));
    }
    const std::string file = path + "/limit report.bin";
    const std::string content = pattern(5243903);
    writeFile(file, content);
    OutgoingMail mail = mailThrough(server);
    mail.subject = "big";
    mail.body = "attached";
    mail.attachment = file;
    const MailOutcome outcome = DeliverMail(mail);
    ASSERT_TRUE(outcome.sent()) << outcome.errorText;
    const auto messages = server.waitForMessages(1);
    ASSERT_EQ(1u, messages.size());
    ASSERT_EQ(1u, messages[0].attachments.size());
    EXPECT_EQ("limit report.bin", messages[0].attachments[0].fileName);
    EXPECT_TRUE(messages[0].attachments[0].bytes == content);
}

TEST_F(SmtpDeliveryTest, FileNameIsWhatFollowsTheLastSlash) {
    const std::string file = dir.file("back\\slash.txt");
    writeFile(file, "x");
    OutgoingMail mail = mailThrough(server);
    mail.subject = "name";
    mail.body = "b";
    mail.attachment = file;
    const MailOutcome outcome = DeliverMail(mail);
    ASSERT_TRUE(outcome.sent()) << outcome.errorText;
    const auto messages = server.waitForMessages(1);
    ASSERT_EQ(1u, messages.size());
    ASSERT_EQ(1u, messages[0].attachments.size());
    // The name goes out as it stands (a parser reads the backslash as a quote).
    EXPECT_NE(std::string::npos, messages[0].data.find("; filename=\"back\\slash.txt\"\r\n"));
    EXPECT_EQ("x", messages[0].attachments[0].bytes);
}

TEST_F(SmtpDeliveryTest, WrongPasswordIsABadLogin) {
    OutgoingMail mail = mailThrough(server);
    mail.password = "wrong";
    const MailOutcome outcome = DeliverMail(mail);
    EXPECT_FALSE(outcome.sent());
    // The server's own words come with the code's text.
    EXPECT_EQ("Bad login or password (535 5.7.8 Authentication credentials invalid)", outcome.errorText);
    EXPECT_TRUE(server.messages().empty());
}

TEST_F(SmtpDeliveryTest, ChineseAlertTextDecodesToTheOriginalWithAndWithout8BitMime) {
    // The alert's own text with its full-width comma, Chinese words and a
    // line that starts with a dot.
    const std::string body = "GameServer: service not working，it will be restarted right away!\n"
                             "服务器进程已停止，将立即重新启动。\n.second line";
    SmtpTestServer::Options options;
    options.eightBitMime = false;  // it refuses any byte above 127 in the data
    SmtpTestServer sevenBit(options);
    const std::pair<const SmtpTestServer*, const char*> servers[] = {{&server, "8bit"}, {&sevenBit, "base64"}};
    for (const auto& [to, encoding] : servers) {
        SCOPED_TRACE(encoding);
        OutgoingMail mail = mailThrough(*to);
        mail.subject = "26300 告警邮件";
        mail.body = body;
        const MailOutcome outcome = DeliverMail(mail);
        ASSERT_TRUE(outcome.sent()) << outcome.errorText;
        const auto messages = to->waitForMessages(1);
        ASSERT_EQ(1u, messages.size());
        const auto& m = messages[0];
        EXPECT_EQ("text/plain", m.bodyContentType);
        EXPECT_EQ("utf-8", m.bodyCharset);
        EXPECT_EQ(encoding, m.bodyTransferEncoding);
        // Python's mail parser decodes the declared charset and encoding back
        // to the very text; the line break before the closing dot remains.
        EXPECT_EQ(body + (std::string(encoding) == "8bit" ? "\n\n" : "\n"), m.body);
        EXPECT_EQ("26300 告警邮件", m.subject);
        EXPECT_TRUE(m.defects.empty()) << m.defects[0];
        for (const auto& line : m.headerLines)
            for (const char c : line) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << line;
        if (to == &sevenBit) {
            for (const char c : m.data) ASSERT_LT(static_cast<unsigned char>(c), 0x80);
        }
    }
}

TEST_F(SmtpDeliveryTest, ChineseAttachmentNameArrivesDecodedThroughA7BitServer) {
    SmtpTestServer::Options options;
    options.eightBitMime = false;
    SmtpTestServer sevenBit(options);
    const std::string file = dir.file("报告，第一季度.txt");
    writeFile(file, "report");
    OutgoingMail mail = mailThrough(sevenBit);
    mail.body = "see the file";
    mail.attachment = file;
    const MailOutcome outcome = DeliverMail(mail);
    ASSERT_TRUE(outcome.sent()) << outcome.errorText;
    const auto messages = sevenBit.waitForMessages(1);
    ASSERT_EQ(1u, messages.size());
    const auto& m = messages[0];
    ASSERT_EQ(1u, m.attachments.size());
    EXPECT_EQ("报告，第一季度.txt", m.attachments[0].fileName);
    EXPECT_EQ("report", m.attachments[0].bytes);
    EXPECT_EQ("see the file", m.body);
    EXPECT_EQ("us-ascii", m.bodyCharset);
    for (const char c : m.data) ASSERT_LT(static_cast<unsigned char>(c), 0x80);
    EXPECT_TRUE(m.defects.empty()) << m.defects[0];
}

TEST_F(SmtpDeliveryTest, AutoModeWithoutTlsFailsBeforeAnyLogin) {
    InstrumentedSockets sockets;
    OutgoingMail mail = mailThrough(server, SmtpSecurity::Auto);
    mail.body = "alert";
    const MailOutcome outcome = DeliverMail(mail);
    EXPECT_FALSE(outcome.sent());
    EXPECT_EQ(
        "The mail server offers no TLS; the password is not sent over an unprotected connection (set "
        "SMTP_SECURITY=none to allow it)",
        outcome.errorText);
    EXPECT_TRUE(outcome.warnings.empty());
    const std::string wire = sockets.sentBytes();
    EXPECT_EQ(0u, wire.find("EHLO "));
    EXPECT_EQ(std::string::npos, wire.find("AUTH"));
    EXPECT_EQ(std::string::npos, wire.find(Base64Encode(server.user())));
    EXPECT_EQ(std::string::npos, wire.find(Base64Encode(server.password())));
    EXPECT_EQ(std::string::npos, wire.find("MAIL FROM"));
    // The server had offered AUTH: it is the missing TLS that stops the login.
    EXPECT_NE(std::string::npos, sockets.receivedBytes().find("AUTH LOGIN"));
    EXPECT_TRUE(server.messages().empty());
}

TEST_F(SmtpDeliveryTest, EmptyUserReachesARelayWithoutLoginFromThisComputersAddress) {
    SmtpTestServer::Options options;
    options.requireAuth = false;  // offers AUTH, needs none
    SmtpTestServer relay(options);
    const SmtpSecurity modes[] = {SmtpSecurity::Auto, SmtpSecurity::None};
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(SmtpSecurityName(modes[i]));
        InstrumentedSockets sockets;
        OutgoingMail mail = mailThrough(relay, modes[i]);
        mail.user = "";
        mail.password = "never sent";
        mail.body = "alert";
        const MailOutcome outcome = DeliverMail(mail);
        ASSERT_TRUE(outcome.sent()) << outcome.errorText;
        EXPECT_TRUE(outcome.warnings.empty());
        EXPECT_EQ(std::string::npos, sockets.sentBytes().find("AUTH"));
        EXPECT_EQ(std::string::npos, sockets.sentBytes().find(Base64Encode("never sent")));

        const auto messages = relay.waitForMessages(i + 1);
        ASSERT_EQ(i + 1, messages.size());
        const auto& m = messages[i];
        EXPECT_EQ("", m.authLogin);
        const std::string sender = "procward@" + localHost();
        EXPECT_EQ(sender, m.mailFrom);
        using Mailboxes = std::vector<std::pair<std::string, std::string>>;
        EXPECT_EQ((Mailboxes{{"26300 Tessera", sender}}), m.addresses("From"));
        EXPECT_EQ("", m.header("Reply-To"));
        EXPECT_EQ("alert\n\n", m.body);
    }
}

}  // namespace
