// The SMTP exchange of CSmtp against a scripted peer on 127.0.0.1: every
// step's refusal, odd replies, time-outs, closed and reset connections, and
// what the client puts on the wire.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <tuple>
#include <functional>
#include <memory>

#include <regex>

#include <gtest/gtest.h>

#include "mail/Base64.h"
#include "mail/CSmtp.h"
#include "mail/ECSmtp.h"
#include "mail/MailClock.h"
#include "platform/System.h"
#include "tests/support/InstrumentedSockets.h"
#include "tests/support/ScriptedSmtpPeer.h"
#include "tests/support/TempDir.h"
#include "tests/support/FullBacklogListener.h"

namespace {

using namespace std::chrono_literals;
using Peer = ScriptedSmtpPeer;

constexpr auto kShortWait = 250ms;
const std::string kPlainPasswordWarning = "The password was sent to 127.0.0.1 without TLS (SMTP_SECURITY=none)";

// A client with a login, for the scripted peer, which speaks no TLS: the
// login goes in the clear as SMTP_SECURITY=none allows.
std::unique_ptr<CSmtp> clientFor(int port) {
    auto client = std::make_unique<CSmtp>();
    client->SetServer("127.0.0.1", static_cast<std::uint16_t>(port));
    client->SetSecurity(SmtpSecurity::None);
    client->SetLogin("user@example.test");
    client->SetPassword("pa55word");
    client->SetSenderAddress("user@example.test");
    client->AddRecipient("to@example.test");
    client->AddMessageLine("hello");
    client->SetWaitLimit(kShortWait);
    return client;
}

// The code Send fails with; 0 when it succeeds.
int sendCode(CSmtp& client) {
    try {
        client.Send();
        return 0;
    } catch (const ECSmtp& error) {
        return error.GetErrorCode();
    }
}

bool hasCommand(const Peer& peer, const std::string& command) {
    for (const auto& c : peer.commands())
        if (c == command) return true;
    return false;
}

// The base64 lines of a message's body joined, each checked to be no longer
// than 76 characters.
std::string unfoldedBody(const std::string& data) {
    const std::string body = data.substr(data.find("\r\n\r\n") + 4);
    std::string joined;
    for (std::size_t at = 0; at < body.size();) {
        const auto end = body.find("\r\n", at);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unended line";
            break;
        }
        EXPECT_LE(end - at, 76u);
        joined += body.substr(at, end - at);
        at = end + 2;
    }
    return joined;
}

class CSmtpExchangeTest : public ::testing::Test {
protected:
    void TearDown() override { SetMailClock({}); }
};

TEST_F(CSmtpExchangeTest, FullExchangeSendsTheCommandsInOrder) {
    Peer peer;
    auto client = clientFor(peer.port());
    client->AddCcRecipient("cc@example.test", "Copy");
    client->AddBccRecipient("bcc@example.test");
    ASSERT_EQ(0, sendCode(*client));
    ASSERT_TRUE(peer.waitFinished());
    std::string host;
    ASSERT_TRUE(platform::sockets().hostName(host));
    const std::vector<std::string> expected{"EHLO " + host,
                                            "AUTH LOGIN",
                                            Base64Encode("user@example.test"),
                                            Base64Encode("pa55word"),
                                            "MAIL FROM:<user@example.test>",
                                            "RCPT TO:<to@example.test>",
                                            "RCPT TO:<cc@example.test>",
                                            "RCPT TO:<bcc@example.test>",
                                            "DATA",
                                            "QUIT"};
    EXPECT_EQ(expected, peer.commands());
    EXPECT_TRUE(peer.received().ends_with("hello\r\n\r\n.\r\nQUIT\r\n"));
}

struct Refusal {
    const char* step;
    std::function<void(Peer::Replies&)> script;
    int code;
    const char* lastCommand;  // the last thing the client sent before giving up
};

TEST_F(CSmtpExchangeTest, EachRefusedStepFailsWithItsCodeAndNoQuit) {
    const Refusal refusals[] = {
        {"greeting", [](Peer::Replies& r) { r.greeting = "554 5.3.2 busy\r\n"; }, 401, nullptr},
        {"greeting not digits", [](Peer::Replies& r) { r.greeting = "hello there\r\n"; }, 401, nullptr},
        {"EHLO", [](Peer::Replies& r) { r.ehlo = "502 5.5.1 no EHLO\r\n"; }, 301, "EHLO"},
        {"AUTH LOGIN", [](Peer::Replies& r) { r.auth = "504 5.5.4 unknown mechanism\r\n"; }, 302, "AUTH LOGIN"},
        {"login", [](Peer::Replies& r) { r.login = "535 5.7.8 no\r\n"; }, 407, "login"},
        {"password 535", [](Peer::Replies& r) { r.password = "535 5.7.8 bad credentials\r\n"; }, 406, "password"},
        {"password 501", [](Peer::Replies& r) { r.password = "501 5.5.4 malformed\r\n"; }, 407, "password"},
        {"MAIL FROM", [](Peer::Replies& r) { r.mailFrom = "553 5.1.8 sender rejected\r\n"; }, 300, "MAIL"},
        {"RCPT TO", [](Peer::Replies& r) { r.rcpt = {"550 5.1.1 unknown user\r\n"}; }, 305, "RCPT"},
        {"DATA", [](Peer::Replies& r) { r.data = "554 5.5.1 no valid recipients\r\n"; }, 303, "DATA"},
        {"end of data", [](Peer::Replies& r) { r.endOfData = "552 5.3.4 too big\r\n"; }, 306, "."},
        {"QUIT", [](Peer::Replies& r) { r.quit = "500 what\r\n"; }, 304, "QUIT"},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.step);
        Peer::Replies replies;
        refusal.script(replies);
        Peer peer(replies);
        auto client = clientFor(peer.port());
        EXPECT_EQ(refusal.code, sendCode(*client));
        // The connection is closed before the error leaves Send.
        EXPECT_TRUE(peer.waitFinished(2s));
        const auto commands = peer.commands();
        if (!refusal.lastCommand) {
            EXPECT_TRUE(commands.empty());
            continue;
        }
        ASSERT_FALSE(commands.empty());
        const std::string last = refusal.lastCommand;
        if (last == "login") {
            EXPECT_EQ(Base64Encode("user@example.test"), commands.back());
        } else if (last == "password") {
            EXPECT_EQ(Base64Encode("pa55word"), commands.back());
        } else if (last == ".") {
            EXPECT_TRUE(peer.received().ends_with("\r\n.\r\n"));
        } else {
            EXPECT_EQ(0u, commands.back().rfind(last, 0)) << commands.back();
        }
        if (last != "QUIT") {
            EXPECT_FALSE(hasCommand(peer, "QUIT"));
        }
    }
}

TEST_F(CSmtpExchangeTest, TolerantPathsOfTheExchangePass) {
    Peer::Replies replies;
    replies.ehlo = "250-one\r\n250-two\r\n250-AUTH LOGIN\r\n250 four\r\n";
    replies.password = "334 once more\r\n334 and again\r\n235 ok\r\n";
    // The first To is refused, the second accepted: the mail goes to it.
    replies.rcpt = {"450 4.2.0 try later\r\n", "250 ok\r\n"};
    replies.data = "250 late\r\n354 go ahead\r\n";
    Peer peer(replies);
    auto client = clientFor(peer.port());
    client->AddRecipient("second@example.test");
    EXPECT_EQ(0, sendCode(*client));
    EXPECT_TRUE(hasCommand(peer, "QUIT"));
    EXPECT_EQ((std::vector<std::string>{kPlainPasswordWarning,
                                        "Recipient address refused: to@example.test (450 4.2.0 try later)"}),
              client->GetWarnings());
}

TEST_F(CSmtpExchangeTest, MultiLineRepliesAreReadWhole) {
    // A greeting of two lines is one reply: EHLO gets its own answer.
    Peer::Replies replies;
    replies.greeting = "220-mail.example.test ESMTP\r\n220-no spam please\r\n220 ready\r\n";
    replies.ehlo = "250-mail.example.test\r\n250-SIZE 1000000\r\n250 AUTH LOGIN\r\n";
    replies.mailFrom = "250-2.1.0 sender\r\n250 2.1.0 ok\r\n";
    Peer peer(replies);
    auto client = clientFor(peer.port());
    EXPECT_EQ(0, sendCode(*client));
    peer.waitFinished();
    EXPECT_TRUE(hasCommand(peer, "QUIT"));
    // Each command went out once, after the whole reply before it.
    std::size_t rcpts = 0;
    for (const auto& c : peer.commands()) rcpts += c.rfind("RCPT", 0) == 0;
    EXPECT_EQ(1u, rcpts);

    // A continuation line whose code is not three digits ends nothing: the
    // reply's last line decides, and it is no 220.
    Peer::Replies odd;
    odd.greeting = "220-fine\r\n2x0 broken\r\n";
    Peer oddPeer(odd);
    try {
        auto oddClient = clientFor(oddPeer.port());
        oddClient->Send();
        FAIL() << "a malformed reply was taken";
    } catch (const ECSmtp& e) {
        EXPECT_EQ(401, e.GetErrorCode());
        EXPECT_EQ("220-fine 2x0 broken", e.GetDetail());
    }
}

TEST_F(CSmtpExchangeTest, RefusedReplyTextStaysWithTheError) {
    const std::pair<std::function<void(Peer::Replies&)>, std::string> cases[] = {
        {[](Peer::Replies& r) { r.rcpt = {"550 5.1.1 no such user\r\n"}; },
         "Server returned error after sending RCPT TO (550 5.1.1 no such user)"},
        {[](Peer::Replies& r) { r.auth = "530 5.7.0 Must issue a STARTTLS command first\r\n"; },
         "Server returned error after sending AUTH LOGIN (530 5.7.0 Must issue a STARTTLS command first)"},
        {[](Peer::Replies& r) { r.password = "535-5.7.8 Username and Password not accepted.\r\n535 5.7.8 Learn more\r\n"; },
         "Bad login or password (535-5.7.8 Username and Password not accepted. 535 5.7.8 Learn more)"},
        {[](Peer::Replies& r) { r.greeting = "554 5.7.1 go away\r\n"; }, "Server is not ready (554 5.7.1 go away)"},
    };
    for (const auto& [script, text] : cases) {
        Peer::Replies replies;
        script(replies);
        Peer peer(replies);
        auto client = clientFor(peer.port());
        try {
            client->Send();
            ADD_FAILURE() << "sent: " << text;
        } catch (const ECSmtp& e) {
            EXPECT_EQ(text, e.GetErrorText());
        }
    }
}

TEST_F(CSmtpExchangeTest, RefusedRecipientsFailAtOnceOnlyWhenNoToIsLeft) {
    {
        // Every To refused: 305 with each refusal, without waiting for more.
        Peer::Replies replies;
        replies.rcpt = {"550 5.1.1 no such user\r\n", "553 5.1.3 bad address\r\n"};
        Peer peer(replies);
        auto client = clientFor(peer.port());
        client->SetWaitLimit(std::chrono::seconds(30));
        client->AddRecipient("two@example.test");
        try {
            client->Send();
            FAIL() << "no recipient was left";
        } catch (const ECSmtp& e) {
            EXPECT_EQ(305, e.GetErrorCode());
            EXPECT_EQ("<to@example.test> 550 5.1.1 no such user; <two@example.test> 553 5.1.3 bad address",
                      e.GetDetail());
        }
        peer.waitFinished();
        EXPECT_FALSE(hasCommand(peer, "DATA"));
    }
    {
        // A refused Cc costs only its own copy; 251 counts as accepted.
        Peer::Replies replies;
        replies.rcpt = {"251 2.1.5 will forward\r\n", "550 5.1.1 no cc\r\n"};
        Peer peer(replies);
        auto client = clientFor(peer.port());
        client->AddCcRecipient("cc@example.test");
        EXPECT_EQ(0, sendCode(*client));
        EXPECT_EQ((std::vector<std::string>{kPlainPasswordWarning,
                                            "Recipient address refused: cc@example.test (550 5.1.1 no cc)"}),
                  client->GetWarnings());
    }
}

TEST_F(CSmtpExchangeTest, MissingCredentialsAndAddressesFailAtTheirStep) {
    {
        Peer peer;
        auto client = clientFor(peer.port());
        client->SetPassword("");
        EXPECT_EQ(205, sendCode(*client));
        peer.waitFinished();
        EXPECT_EQ(Base64Encode("user@example.test"), peer.commands().back());
    }
    {
        Peer peer;
        CSmtp client;
        client.SetServer("127.0.0.1", static_cast<std::uint16_t>(peer.port()));
        client.SetSecurity(SmtpSecurity::None);
        client.SetLogin("u");
        client.SetPassword("p");
        client.SetSenderAddress("u@example.test");
        EXPECT_EQ(203, sendCode(client));
        peer.waitFinished();
        EXPECT_EQ("MAIL FROM:<u@example.test>", peer.commands().back());
    }
    CSmtp client;
    try {
        client.AddRecipient("");
        FAIL() << "an empty address was taken";
    } catch (const ECSmtp& e) {
        EXPECT_EQ(206, e.GetErrorCode());
    }
    client.AddMessageLine("only");
    EXPECT_EQ("only", client.GetMessageLine(0));
    try {
        client.GetMessageLine(1);
        FAIL() << "line 1 of 1 was returned";
    } catch (const ECSmtp& e) {
        EXPECT_EQ(412, e.GetErrorCode());
    }
}

TEST_F(CSmtpExchangeTest, ServerThatStopsTalkingFailsWith402) {
    {
        Peer::Replies replies;
        replies.greeting = Peer::kSilent;
        Peer peer(replies);
        EXPECT_EQ(402, sendCode(*clientFor(peer.port())));
    }
    {
        // Silent in the middle of a multi-line reply.
        Peer::Replies replies;
        replies.ehlo = "250-first line\r\n" + Peer::kSilent;
        Peer peer(replies);
        EXPECT_EQ(402, sendCode(*clientFor(peer.port())));
    }
    {
        // Half a line, then nothing.
        Peer::Replies replies;
        replies.greeting = "220 half a gree" + Peer::kSilent;
        Peer peer(replies);
        EXPECT_EQ(402, sendCode(*clientFor(peer.port())));
    }
}

TEST_F(CSmtpExchangeTest, ReplyLineWithoutLineFeedFailsWith408AtItsNextByte) {
    {
        // 10239 bytes with the line feed last still fit.
        Peer::Replies replies;
        replies.greeting = "220 " + std::string(10233, 'x') + "\r\n";
        Peer peer(replies);
        EXPECT_EQ(0, sendCode(*clientFor(peer.port())));
    }
    {
        Peer::Replies replies;
        replies.greeting = "220 " + std::string(10236, 'x') + Peer::kSilent;  // 10240 bytes, no LF
        Peer peer(replies);
        EXPECT_EQ(408, sendCode(*clientFor(peer.port())));
    }
    {
        Peer::Replies replies;
        replies.greeting = "220 " + std::string(10235, 'x') + Peer::kSilent;  // 10239 bytes, no LF
        Peer peer(replies);
        EXPECT_EQ(402, sendCode(*clientFor(peer.port())));
    }
}

TEST_F(CSmtpExchangeTest, ServerThatClosesTheConnectionFailsWith400) {
    for (auto script : std::vector<std::function<void(Peer::Replies&)>>{
             [](Peer::Replies& r) { r.greeting = Peer::kClose; },
             [](Peer::Replies& r) { r.ehlo = "250-first line only\r\n" + Peer::kClose; },
             [](Peer::Replies& r) { r.mailFrom = Peer::kClose; }}) {
        Peer::Replies replies;
        script(replies);
        Peer peer(replies);
        EXPECT_EQ(400, sendCode(*clientFor(peer.port())));
    }
}

TEST_F(CSmtpExchangeTest, WritingToAResetConnectionFailsWith102InsteadOfASignal) {
    TempDir dir;
    std::string big(3 * 1024 * 1024, 'z');
    writeFile(dir.file("big.bin"), big);
    Peer::Replies replies;
    replies.resetAfterDataBytes = 64 * 1024;
    Peer peer(replies);
    auto client = clientFor(peer.port());
    client->AddAttachment(dir.file("big.bin"));
    // SIGPIPE would end the whole test program here.
    EXPECT_EQ(102, sendCode(*client));
}

TEST_F(CSmtpExchangeTest, ConnectionProblemsHaveTheirOwnCodes) {
    const auto errorText = [](CSmtp& client) {
        try {
            client.Send();
            return std::string("sent");
        } catch (const ECSmtp& e) {
            return e.GetErrorText();
        }
    };
    {
        FullBacklogListener listener;
        ASSERT_TRUE(listener.full());
        EXPECT_EQ(403, sendCode(*clientFor(listener.port())));
        EXPECT_EQ("Connection to the mail server timed out", errorText(*clientFor(listener.port())));
    }
    {
        // Nothing listens on the port: refused while waiting.
        const int port = [] {
            Peer probe;
            return probe.port();
        }();
        EXPECT_EQ(109, sendCode(*clientFor(port)));
        EXPECT_EQ("Cannot connect to the mail server: Connection refused", errorText(*clientFor(port)));
    }
    {
        auto client = clientFor(1);
        client->SetServer("", 25);  // neither an address nor a name
        EXPECT_EQ(105, sendCode(*client));
    }
    {
        // A host name is looked up.
        Peer peer;
        auto client = clientFor(peer.port());
        client->SetServer("localhost", static_cast<std::uint16_t>(peer.port()));
        EXPECT_EQ(0, sendCode(*client));
    }
}

TEST_F(CSmtpExchangeTest, PortZeroUsesTheMailServiceElse25) {
    Peer peer;
    InstrumentedSockets sockets;
    sockets.serviceAnswer = std::optional<std::uint16_t>(static_cast<std::uint16_t>(peer.port()));
    auto viaService = clientFor(0);
    EXPECT_EQ(0, sendCode(*viaService));
    EXPECT_EQ(std::vector<std::string>{"mail"}, sockets.servicesLookedUp);
    EXPECT_EQ(std::vector<std::uint16_t>{static_cast<std::uint16_t>(peer.port())}, sockets.connectPorts);
    EXPECT_EQ(std::vector<std::uint32_t>{0x7F000001u}, sockets.connectAddresses);

    // Without the service the client asks for 25; the test sends it to the
    // peer instead.
    sockets.serviceAnswer = std::optional<std::uint16_t>();
    sockets.redirectPort = static_cast<std::uint16_t>(peer.port());
    auto without = clientFor(0);
    EXPECT_EQ(0, sendCode(*without));
    EXPECT_EQ(25, sockets.connectPorts.back());

    // The machine's own services file knows "mail" as SMTP.
    std::uint16_t port = 0;
    ASSERT_TRUE(platform::defaultSockets().servicePort("mail", port));
    EXPECT_EQ(25, port);
}

TEST_F(CSmtpExchangeTest, FailingSocketLibraryCallsGiveTheirCodes) {
    InstrumentedSockets sockets;
    const auto constructionCode = [] {
        try {
            CSmtp client;
            return 0;
        } catch (const ECSmtp& e) {
            return e.GetErrorCode();
        }
    };
    sockets.startResult = platform::SocketLibraryStart::Unavailable;
    EXPECT_EQ(100, constructionCode());
    EXPECT_EQ(0, sockets.cleanups);
    sockets.startResult = platform::SocketLibraryStart::WrongVersion;
    EXPECT_EQ(101, constructionCode());
    EXPECT_EQ(1, sockets.cleanups);
    sockets.startResult = platform::SocketLibraryStart::Started;
    sockets.failHostName = true;
    EXPECT_EQ(107, constructionCode());
    EXPECT_EQ(2, sockets.cleanups);
    sockets.failHostName = false;

    // Each object releases the library it started, once.
    const int before = sockets.cleanups;
    {
        CSmtp client;
    }
    EXPECT_EQ(before + 1, sockets.cleanups);
    // Every start but the one that failed outright was released.
    EXPECT_EQ(sockets.startups - 1, sockets.cleanups);

    sockets.failSocket = true;
    EXPECT_EQ(106, sendCode(*clientFor(1)));
    sockets.failSocket = false;
    sockets.failNonBlocking = true;
    const int closedBefore = sockets.closed;
    EXPECT_EQ(108, sendCode(*clientFor(1)));
    EXPECT_EQ(closedBefore + 1, sockets.closed);
}

TEST_F(CSmtpExchangeTest, BodyLinesAreDotStuffedAndInjectionStaysInsideItsField) {
    Peer peer;
    auto client = clientFor(peer.port());
    client->SetSubject("Hello\r\nBcc: victim@example.test");
    client->SetSenderName("Ops\r\nX-Evil: 1");
    client->AddRecipient("x@example.test>\r\nRCPT TO:<evil@example.test", "");
    client->AddMessageLine(".starts with a dot");
    client->AddMessageLine("server a\r\n.\r\nMAIL FROM:<evil@example.test>\nRCPT TO:<evil@example.test>\n.");
    client->AddMessageLine(".");
    ASSERT_EQ(0, sendCode(*client));
    peer.waitFinished();

    for (const auto& c : peer.commands()) {
        EXPECT_NE("MAIL FROM:<evil@example.test>", c);
        EXPECT_NE("RCPT TO:<evil@example.test>", c);
    }
    EXPECT_TRUE(hasCommand(peer, "RCPT TO:<x@example.test>RCPT TO:<evil@example.test>"));
    const std::string data = peer.data();
    EXPECT_NE(std::string::npos, data.find("\r\nSubject: HelloBcc: victim@example.test\r\n"));
    EXPECT_NE(std::string::npos, data.find("\r\nFrom: OpsX-Evil: 1 <user@example.test>\r\n"));
    EXPECT_EQ(std::string::npos, data.find("\nBcc:"));
    EXPECT_EQ(std::string::npos, data.find("\nX-Evil:"));
    const std::string body = data.substr(data.find("\r\n\r\n") + 4);
    EXPECT_EQ(
        "hello\r\n"
        "..starts with a dot\r\n"
        "server a\r\n..\r\nMAIL FROM:<evil@example.test>\r\nRCPT TO:<evil@example.test>\r\n..\r\n"
        "..\r\n"
        "\r\n",  // the line break before the closing dot
        body);
}

TEST_F(CSmtpExchangeTest, HeaderLinesFollowTheFixedLayout) {
    std::tm local{};
    local.tm_year = 2021 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 5;
    local.tm_hour = 9;
    local.tm_min = 4;
    local.tm_sec = 7;
    local.tm_isdst = -1;
    const std::int64_t when = std::mktime(&local);
    SetMailClock([when] { return when; });

    Peer peer;
    CSmtp client;
    client.SetServer("127.0.0.1", static_cast<std::uint16_t>(peer.port()));
    client.SetSenderAddress("sender@example.test");
    client.SetPriority(2);
    client.AddRecipient("a@example.test");
    client.AddRecipient("b@example.test", "Bee");
    client.AddCcRecipient("c@example.test");
    client.AddBccRecipient("d@example.test", "Dee");
    ASSERT_EQ(0, sendCode(client));
    peer.waitFinished();
    // The zone of the machine's local time on that day, as RFC 5322 writes it.
    const long offset = local.tm_gmtoff;
    char zone[40];
    std::snprintf(zone, sizeof zone, "%c%02ld%02ld", offset < 0 ? '-' : '+', std::labs(offset) / 3600,
                  std::labs(offset) % 3600 / 60);
    // Every mail has an ID of its own (RFC 5322), on the sender's domain.
    std::string data = peer.data();
    const std::regex idLine("\r\nMessage-ID: <[0-9a-f]+\\.[0-9a-f]{16}\\.[0-9]+\\.procward@example\\.test>\r\n");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(data, found, idLine)) << data;
    data.replace(static_cast<std::size_t>(found.position(0)), static_cast<std::size_t>(found.length(0)), "\r\n");
    EXPECT_EQ(
        std::string("Date: 05 Mar 2021 09:04:07 ") + zone + "\r\n"
        "From:  <sender@example.test>\r\n"
        "X-Priority: 2 (High)\r\n"
        "To: <a@example.test>,Bee<b@example.test>\r\n"
        "Cc: <c@example.test>\r\n"
        "Subject:  \r\n"
        "MIME-Version: 1.0\r\n"
        "Content-type: text/plain; charset=US-ASCII\r\n"
        "Content-Transfer-Encoding: 7bit\r\n"
        "\r\n"
        " \r\n"
        "\r\n",
        data);
    // The Bcc recipient gets the mail, without a header that shows it.
    EXPECT_TRUE(hasCommand(peer, "RCPT TO:<d@example.test>"));
}

// Runs with another local time zone (a POSIX TZ text) while it lives.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) previous_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (previous_)
            ::setenv("TZ", previous_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> previous_;
};

TEST_F(CSmtpExchangeTest, DateCarriesTheZoneOfTheLocalTime) {
    // 2021-03-05 01:04:07 UTC.
    SetMailClock([] { return std::int64_t{1614906247}; });
    const std::pair<const char*, const char*> zones[] = {
        {"UTC0", "Date: 05 Mar 2021 01:04:07 +0000"},
        {"CST-8", "Date: 05 Mar 2021 09:04:07 +0800"},
        {"NST3:30", "Date: 04 Mar 2021 21:34:07 -0330"},
    };
    for (const auto& [zone, line] : zones) {
        ScopedTimeZone inZone(zone);
        Peer peer;
        auto client = clientFor(peer.port());
        ASSERT_EQ(0, sendCode(*client));
        peer.waitFinished();
        EXPECT_EQ(0u, peer.data().find(std::string(line) + "\r\n")) << zone << ": " << peer.data().substr(0, 40);
    }
}

TEST_F(CSmtpExchangeTest, PriorityLineByValue) {
    const std::pair<int, const char*> cases[] = {
        {2, "X-Priority: 2 (High)"}, {3, "X-Priority: 3 (Normal)"}, {4, "X-Priority: 4 (Low)"},
        {1, "X-Priority: 3 (Normal)"}, {5, "X-Priority: 3 (Normal)"}};
    for (const auto& [value, line] : cases) {
        Peer peer;
        auto client = clientFor(peer.port());
        client->SetPriority(value);
        ASSERT_EQ(0, sendCode(*client));
        peer.waitFinished();
        EXPECT_NE(std::string::npos, peer.data().find(std::string("\r\n") + line + "\r\n")) << value;
    }
}

TEST_F(CSmtpExchangeTest, ClockAtOrBefore1970FailsWith409AfterData) {
    for (const std::int64_t reading : {std::int64_t{0}, std::int64_t{-5}}) {
        SetMailClock([reading] { return reading; });
        Peer peer;
        EXPECT_EQ(409, sendCode(*clientFor(peer.port())));
        peer.waitFinished();
        EXPECT_EQ("DATA", peer.commands().back());
        EXPECT_TRUE(peer.received().ends_with("DATA\r\n"));
    }
}

TEST_F(CSmtpExchangeTest, StepsLongerThanTheBufferAreSentWhole) {
    Peer peer;
    auto client = clientFor(peer.port());
    const std::string longLine(30000, 'L');
    client->AddMessageLine(longLine);
    for (int i = 0; i < 600; ++i) client->AddRecipient("recipient" + std::to_string(i) + "@example.test");
    ASSERT_EQ(0, sendCode(*client));
    peer.waitFinished();
    const std::string data = peer.data();
    const auto toLine = data.find("\r\nTo: ");
    ASSERT_NE(std::string::npos, toLine);
    const std::string to = data.substr(toLine + 2, data.find("\r\n", toLine + 2) - toLine - 2);
    EXPECT_GT(to.size(), CSmtp::kBufferSize);
    EXPECT_TRUE(to.ends_with(",<recipient599@example.test>"));
    // A line longer than a server must take goes out in base64.
    EXPECT_EQ(Base64Encode("hello\r\n" + longLine + "\r\n"), unfoldedBody(data));
}

TEST_F(CSmtpExchangeTest, AttachmentFailuresComeAfterThePartHeader) {
    TempDir dir;
    {
        Peer peer;
        auto client = clientFor(peer.port());
        client->AddAttachment(dir.file("missing.bin"));
        EXPECT_EQ(404, sendCode(*client));
        peer.waitFinished();
        EXPECT_TRUE(peer.received().ends_with(
            "--__MESSAGE__ID__54yg6f6h6y456345\r\n"
            "Content-Type: application/x-msdownload; name=\"missing.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"missing.bin\"\r\n"
            "\r\n"));
        EXPECT_FALSE(hasCommand(peer, "QUIT"));
    }
    {
        // A directory opens on Linux but cannot be read.
        Peer peer;
        auto client = clientFor(peer.port());
        client->AddAttachment(dir.path());
        EXPECT_EQ(404, sendCode(*client));
    }
    {
        // 5,243,903 bytes pass the limit; one byte more in a second file fails.
        writeFile(dir.file("big.bin"), std::string(5243903, 'b'));
        writeFile(dir.file("one.bin"), "1");
        Peer peer;
        auto client = clientFor(peer.port());
        client->SetWaitLimit(5s);
        client->AddAttachment(dir.file("big.bin"));
        client->AddAttachment(dir.file("one.bin"));
        EXPECT_EQ(405, sendCode(*client));
        peer.waitFinished();
        const std::string received = peer.received();
        EXPECT_TRUE(received.ends_with("Content-Disposition: attachment; filename=\"one.bin\"\r\n\r\n"))
            << received.substr(received.size() - 300);
        EXPECT_NE(std::string::npos, received.find("filename=\"big.bin\"\r\n\r\n" + Base64Encode(std::string(54, 'b')) + "\r\n"));
    }
}

TEST_F(CSmtpExchangeTest, MessageLargerThanTheServersSizeLimitStopsBeforeMailFrom) {
    TempDir dir;
    writeFile(dir.file("report.bin"), std::string(5000, 'r'));
    const auto withLimit = [&](const std::string& size) {
        Peer::Replies replies;
        replies.ehlo = "250-peer\r\n250-SIZE " + size + "\r\n250 AUTH LOGIN\r\n";
        auto peer = std::make_unique<Peer>(replies);
        auto client = clientFor(peer->port());
        client->AddAttachment(dir.file("report.bin"));
        int code = 0;
        std::string text;
        try {
            client->Send();
        } catch (const ECSmtp& e) {
            code = e.GetErrorCode();
            text = e.GetErrorText();
        }
        peer->waitFinished();
        return std::make_tuple(code, text, std::move(peer));
    };
    {
        const auto [code, text, peer] = withLimit("4000");
        EXPECT_EQ(415, code);
        EXPECT_EQ("Message is larger than the mail server accepts (SIZE 4000)", text);
        EXPECT_EQ(Base64Encode("pa55word"), peer->commands().back());
    }
    for (const char* roomy : {"100000", "0"}) {
        const auto [code, text, peer] = withLimit(roomy);
        EXPECT_EQ(0, code) << roomy << ": " << text;
    }
}

// The name EHLO gives: the host's, with its domain where the system knows one.
std::string localHost() {
    std::string host;
    EXPECT_TRUE(platform::sockets().hostName(host));
    return host;
}

// True when a line of the credentials went out in any form the peer can read.
bool sawCredentials(const Peer& peer) {
    const std::string wire = peer.received();
    for (const std::string& secret : {std::string("pa55word"), Base64Encode("pa55word"),
                                      Base64Encode("user@example.test"),
                                      Base64Encode(std::string(1, '\0') + "user@example.test" + '\0' + "pa55word")})
        if (wire.find(secret) != std::string::npos) return true;
    return false;
}

TEST_F(CSmtpExchangeTest, AutoModeWithoutTlsKeepsTheLoginAndSaysHowToAllowIt) {
    // The peer offers AUTH but no STARTTLS: a server without TLS, or one
    // whose STARTTLS someone on the way took out of the reply.
    for (const char* ehlo : {"250-peer\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n", "250-peer\r\n250 AUTH PLAIN\r\n"}) {
        SCOPED_TRACE(ehlo);
        Peer::Replies replies;
        replies.ehlo = ehlo;
        Peer peer(replies);
        auto client = clientFor(peer.port());
        client->SetSecurity(SmtpSecurity::Auto);
        try {
            client->Send();
            ADD_FAILURE() << "the mail went out";
        } catch (const ECSmtp& e) {
            EXPECT_EQ(416, e.GetErrorCode());
            EXPECT_EQ(
                "The mail server offers no TLS; the password is not sent over an unprotected connection (set "
                "SMTP_SECURITY=none to allow it)",
                e.GetErrorText());
        }
        EXPECT_TRUE(peer.waitFinished());
        EXPECT_EQ(std::vector<std::string>{"EHLO " + localHost()}, peer.commands());
        EXPECT_FALSE(sawCredentials(peer));
        EXPECT_TRUE(client->GetWarnings().empty());
    }
    {
        // STARTTLS offered and then refused: no login either.
        Peer::Replies replies;
        replies.ehlo = "250-peer\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n";
        Peer peer(replies);
        auto client = clientFor(peer.port());
        client->SetSecurity(SmtpSecurity::Auto);
        EXPECT_EQ(505, sendCode(*client));
        peer.waitFinished();
        EXPECT_EQ("STARTTLS", peer.commands().back());
        EXPECT_FALSE(sawCredentials(peer));
    }
}

TEST_F(CSmtpExchangeTest, EmptyLoginSendsNoAuthAndAnEmptySenderIsTheHostsAddress) {
    for (const SmtpSecurity mode : {SmtpSecurity::Auto, SmtpSecurity::None}) {
        SCOPED_TRACE(SmtpSecurityName(mode));
        Peer peer;  // offers AUTH LOGIN and PLAIN
        auto client = clientFor(peer.port());
        client->SetSecurity(mode);
        client->SetLogin("");  // the password alone is never sent
        ASSERT_EQ(0, sendCode(*client));
        peer.waitFinished();
        const std::vector<std::string> expected{"EHLO " + localHost(), "MAIL FROM:<user@example.test>",
                                                "RCPT TO:<to@example.test>", "DATA", "QUIT"};
        EXPECT_EQ(expected, peer.commands());
        EXPECT_FALSE(sawCredentials(peer));
        EXPECT_TRUE(client->GetWarnings().empty());
    }
    {
        // Without an address of its own the mail comes from this computer:
        // a server takes nothing from the empty address of a bounce.
        Peer peer;
        auto client = clientFor(peer.port());
        client->SetSecurity(SmtpSecurity::Auto);
        client->SetLogin("");
        client->SetSenderAddress("");
        ASSERT_EQ(0, sendCode(*client));
        peer.waitFinished();
        EXPECT_TRUE(hasCommand(peer, "MAIL FROM:<procward@" + localHost() + ">"));
        EXPECT_NE(std::string::npos, peer.data().find("\r\nFrom:  <procward@" + localHost() + ">\r\n"));
    }
    for (const SmtpSecurity mode : {SmtpSecurity::Auto, SmtpSecurity::None}) {
        // A server that offers no AUTH is not asked for it, login or not:
        // the mail goes as to a relay, and no password leaves.
        SCOPED_TRACE(SmtpSecurityName(mode));
        Peer::Replies replies;
        replies.ehlo = "250-peer greets you\r\n250 8BITMIME\r\n";
        Peer peer(replies);
        auto client = clientFor(peer.port());
        client->SetSecurity(mode);
        ASSERT_EQ(0, sendCode(*client));
        peer.waitFinished();
        const std::vector<std::string> expected{"EHLO " + localHost(), "MAIL FROM:<user@example.test>",
                                                "RCPT TO:<to@example.test>", "DATA", "QUIT"};
        EXPECT_EQ(expected, peer.commands());
        EXPECT_FALSE(sawCredentials(peer));
    }
}

TEST_F(CSmtpExchangeTest, PlainModeSendsTheLoginWithAWarningOnEveryMail) {
    for (int mail = 0; mail < 2; ++mail) {
        Peer peer;
        auto client = clientFor(peer.port());
        ASSERT_EQ(0, sendCode(*client));
        EXPECT_TRUE(hasCommand(peer, "AUTH LOGIN"));
        EXPECT_EQ(std::vector<std::string>{kPlainPasswordWarning}, client->GetWarnings());
    }
    {
        Peer::Replies replies;
        replies.ehlo = "250-peer\r\n250 AUTH PLAIN\r\n";
        replies.auth = "235 2.7.0 ok\r\n";
        Peer peer(replies);
        auto client = clientFor(peer.port());
        ASSERT_EQ(0, sendCode(*client));
        EXPECT_TRUE(hasCommand(peer, "AUTH PLAIN " + Base64Encode(std::string(1, '\0') + "user@example.test" + '\0' +
                                                                  "pa55word")));
        EXPECT_EQ(std::vector<std::string>{kPlainPasswordWarning}, client->GetWarnings());
    }
    {
        // A refused password has gone out all the same.
        Peer::Replies replies;
        replies.password = "535 5.7.8 no\r\n";
        Peer peer(replies);
        auto client = clientFor(peer.port());
        EXPECT_EQ(406, sendCode(*client));
        EXPECT_EQ(std::vector<std::string>{kPlainPasswordWarning}, client->GetWarnings());
    }
    {
        // Refused before the password was asked for: nothing was exposed.
        Peer::Replies replies;
        replies.auth = "504 5.5.4 no\r\n";
        Peer peer(replies);
        auto client = clientFor(peer.port());
        EXPECT_EQ(302, sendCode(*client));
        EXPECT_TRUE(client->GetWarnings().empty());
    }
}

TEST_F(CSmtpExchangeTest, BodyCharsetAndTransferEncodingFollowTheText) {
    const std::string chinese = "GameServer: 服务器进程已停止，将立即重新启动";
    struct Case {
        const char* what;
        std::string line;
        std::string ehlo;
        const char* contentType;
        const char* encoding;
        bool announced;  // BODY=8BITMIME
    };
    const std::string with8Bit = "250-peer\r\n250-AUTH LOGIN\r\n250 8BITMIME\r\n";
    const std::string without8Bit = "250-peer\r\n250 AUTH LOGIN\r\n";
    const Case cases[] = {
        {"ascii", "all ascii", with8Bit, "text/plain; charset=US-ASCII", "7bit", false},
        {"ascii to a 7-bit server", "all ascii", without8Bit, "text/plain; charset=US-ASCII", "7bit", false},
        {"chinese", chinese, with8Bit, "text/plain; charset=UTF-8", "8bit", true},
        {"chinese to a 7-bit server", chinese, without8Bit, "text/plain; charset=UTF-8", "base64", false},
        {"long ascii line", std::string(999, 'x'), with8Bit, "text/plain; charset=US-ASCII", "base64", false},
        {"long chinese line", chinese + std::string(999, 'x'), with8Bit, "text/plain; charset=UTF-8", "base64",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Peer::Replies replies;
        replies.ehlo = c.ehlo;
        Peer peer(replies);
        auto client = clientFor(peer.port());
        client->AddMessageLine(c.line);
        ASSERT_EQ(0, sendCode(*client));
        peer.waitFinished();
        EXPECT_EQ(c.announced, hasCommand(peer, "MAIL FROM:<user@example.test> BODY=8BITMIME"));
        const std::string data = peer.data();
        EXPECT_NE(std::string::npos, data.find(std::string("\r\nContent-type: ") + c.contentType + "\r\n"));
        EXPECT_NE(std::string::npos, data.find(std::string("\r\nContent-Transfer-Encoding: ") + c.encoding + "\r\n"));
        if (std::string(c.encoding) == "base64") {
            EXPECT_EQ(Base64Encode("hello\r\n" + c.line + "\r\n"), unfoldedBody(data));
        } else {
            EXPECT_EQ("hello\r\n" + c.line + "\r\n\r\n", data.substr(data.find("\r\n\r\n") + 4));
        }
        for (const char ch : data.substr(0, data.find("\r\n\r\n")))
            EXPECT_LT(static_cast<unsigned char>(ch), 0x80);
    }
}

}  // namespace
