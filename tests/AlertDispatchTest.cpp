// SendMail and the mail alert sink against a real SMTP server and a scripted
// peer, and a supervised server's alerts arriving as mail.
#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <regex>

#include <gtest/gtest.h>

#include "app/core/MailAlerts.h"
#include "config/AlertMailSettingsData.h"
#include "log/AppLogger.h"
#include "mail/AlertDispatch.h"
#include "mail/MailAlertSink.h"
#include "mail/MailClock.h"
#include "mail/MailDelivery.h"
#include "supervision/Supervisor.h"
#include "tests/support/InstrumentedSockets.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ScriptedSmtpPeer.h"
#include "tests/support/SmtpTestServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"
#include "tests/support/TodaysLog.h"

namespace {

const std::string kAlertSubject = "26300 告警邮件";
const std::string kNotWorking = ": service not working，it will be restarted right away!";

std::string localDate(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&t, &local);
    char date[64];
    std::strftime(date, sizeof date, "Date: %d %b %Y %H:%M:%S %z", &local);
    return date;
}

AlertMailSettingsData settingsOf(const std::string& server, const std::string& port, const std::string& user,
                                 const std::string& password, const std::string& mailTo, int minInterval) {
    AlertMailSettingsData settings;
    settings.smtpServer = server;
    settings.smtpPort = port;
    settings.smtpUser = user;
    settings.smtpPassword = password;
    settings.smtpMailTo = mailTo;
    settings.minAlertInterval = minInterval;
    // The test servers speak no TLS: the login goes in the clear.
    settings.smtpSecurity = SmtpSecurity::None;
    return settings;
}

class AlertDispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, ::mkdir("logs", 0777));
        ASSERT_TRUE(AppLogger::Instance().Init());
        SetMailClock([this]() -> std::int64_t { return now.load(); });
    }
    void TearDown() override {
        delivery.waitIdle(std::chrono::seconds(60));
        SetMailClock({});
    }
    std::string log() const { return readFile(todaysLogFile()); }
    static std::size_t count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
    void useServer(const SmtpTestServer& server, const std::string& mailTo, int minInterval) {
        sink.setSettings(settingsOf(server.host(), server.portText(), server.user(), server.password(), mailTo,
                                    minInterval));
    }
    // An alert raised now.
    void raise(const std::string& message) { sink.alert(MailAlertSink::Alert{message, kAlertSubject, now, false, {}, true}); }
    // Mails go out on the delivery thread: wait until it has nothing left.
    void waitForDelivery() { ASSERT_TRUE(delivery.waitIdle(std::chrono::seconds(60))); }

    TempDir dir;
    ScopedWorkingDirectory cwd{dir.path()};
    // Read by the delivery thread (the mail's Date) while the test moves it.
    std::atomic<std::int64_t> now{1700000000};
    MailDelivery delivery;
    MailAlertSink sink{delivery, AlertMailSettingsData{}};
};

TEST_F(AlertDispatchTest, AlertArrivesWithTheAlertHeaderAndDecodesToTheOriginalText) {
    SmtpTestServer server("ops@example.test", "Alert pass 1");
    useServer(server, "one@example.test;two@example.test", 5);
    raise("GameServer" + kNotWorking);
    waitForDelivery();

    const auto messages = server.messages();
    ASSERT_EQ(1u, messages.size()) << log();
    const auto& m = messages[0];
    EXPECT_EQ("ops@example.test", m.authLogin);
    EXPECT_EQ("ops@example.test", m.mailFrom);
    EXPECT_EQ((std::vector<std::string>{"one@example.test", "two@example.test"}), m.rcptTos);
    // Every mail has an ID of its own (RFC 5322), after the date.
    ASSERT_GE(m.headerLines.size(), 2u);
    EXPECT_TRUE(std::regex_match(m.headerLines[1], std::regex(R"(Message-ID: <[0-9a-f.]+\.procward@example\.test>)")))
        << m.headerLines[1];
    std::vector<std::string> lines = m.headerLines;
    lines.erase(lines.begin() + 1);
    const std::vector<std::string> expected{
        localDate(now),
        "From: 26300 Tessera <ops@example.test>",
        "X-Mailer: The Bat! (v3.02) Professional",
        "Reply-To: ops@example.test",
        "X-Priority: 3 (Normal)",
        "To: <one@example.test>,<two@example.test>",
        "Subject: =?UTF-8?B?MjYzMDAg5ZGK6K2m6YKu5Lu2?=",
        "MIME-Version: 1.0",
        "Content-type: text/plain; charset=UTF-8",
        "Content-Transfer-Encoding: 8bit",
    };
    EXPECT_EQ(expected, lines);
    EXPECT_EQ(kAlertSubject, m.subject);
    EXPECT_EQ("utf-8", m.bodyCharset);
    EXPECT_EQ("GameServer" + kNotWorking + "\n\n", m.body);
    EXPECT_EQ("26300 Tessera <ops@example.test>", m.header("From"));
    EXPECT_TRUE(m.defects.empty()) << m.defects[0];
    EXPECT_NE(std::string::npos, log().find("[INFO ]: GameServer" + kNotWorking + "\r\n"));
    EXPECT_EQ(std::string::npos, log().find("[ERROR]"));
}

TEST_F(AlertDispatchTest, ASupervisedServersAlertsArriveAsMailAFailedLaunchToo) {
    SmtpTestServer server;
    useServer(server, "ops@example.test", 0);
    const std::string program = copyTestServer(dir.file("procward-testserver"));
    ManualClock clock;
    SupervisionOptions options;
    options.checkInterval = std::chrono::seconds(1);
    options.restartOnExit = false;
    Supervisor supervisor(clock, platform::processControl(), options);
    MailAlerts mail(sink);
    supervisor.addAlertSink(&mail);
    supervisor.load({ServerEntry{1, "gs1", "procward-testserver", program + " --role mailed"},
                     ServerEntry{2, "gone", "procward-testserver", dir.file("missing/procward-testserver")}});
    const int first = supervisor.find(1)->info().pid;
    ASSERT_GT(first, 0);
    killAndWait(first);
    clock.advance(options.checkInterval);
    supervisor.runDue();
    const int second = supervisor.find(1)->info().pid;
    ASSERT_GT(second, 0);
    killAndWait(second);

    const std::string cannot = "gone could not be started: cannot execute '" + dir.file("missing/procward-testserver") +
                               "': No such file or directory";
    const std::vector<std::string> expected{"gs1 started successfully: pid=" + std::to_string(first), cannot,
                                            "gs1" + kNotWorking,
                                            "gs1 started successfully: pid=" + std::to_string(second),
                                            cannot};  // tried again at the next check
    const auto messages = server.waitForMessages(expected.size());
    std::vector<std::string> bodies;
    for (const auto& m : messages) {
        EXPECT_EQ(kAlertSubject, m.subject);
        // The first line is the alert; a server's end adds its details below.
        bodies.push_back(m.body.substr(0, m.body.find('\n')));
    }
    EXPECT_EQ(expected, bodies);
    waitForDelivery();
    EXPECT_EQ(expected.size(), server.messages().size());

    // Each alert is logged when it is raised, before the check says how the
    // restart went.
    const std::string text = log();
    const auto fell = text.find("[INFO ]: gs1" + kNotWorking + "\r\n");
    const auto restarted = text.find("[INFO ]: " + expected[3] + "\r\n");
    const auto closed = text.find("[DEBUG]: service is closed, autoStart gs1 true\r\n", fell);
    ASSERT_NE(std::string::npos, fell) << text;
    EXPECT_LT(fell, restarted);
    EXPECT_LT(restarted, closed);
    EXPECT_NE(std::string::npos, text.find("[DEBUG]: service is closed, autoStart gone false\r\n"));
    // A failed launch is an error in the log, with the reason, as well as a mail.
    EXPECT_EQ(std::string::npos, text.find("[INFO ]: gone could not be started"));
    EXPECT_NE(std::string::npos, text.find("[ERROR]: " + cannot));
}

TEST_F(AlertDispatchTest, OneMailPerIntervalTheRestInTheNextDigestNoneLost) {
    SmtpTestServer server;
    useServer(server, "ops@example.test", 5);
    const std::int64_t start = now;
    // (seconds after the start, alert; empty: the digest is asked for then)
    const std::pair<std::int64_t, std::string> steps[] = {
        {0, "alert A"},   // the first: mailed at once
        {0, "alert B"},   // the same second: held back
        {4, "alert C"},   // held back
        {4, ""},          // not due yet
        {5, ""},          // the digest of B and C; the interval counts from it
        {7, "alert D"},   // held back until 10
        {9, ""},
        {10, ""},         // the digest of D
        {16, "alert E"},  // a quiet interval before it: mailed at once
    };
    std::vector<std::string> expected;  // the first line of each mail
    for (const auto& [offset, text] : steps) {
        now = start + offset;
        if (text.empty()) {
            const bool due = offset == 5 || offset == 10;
            EXPECT_EQ(due, sink.sendDigest(now)) << "+" << offset;
            if (offset == 5) expected.push_back("and 2 more: alert B, alert C");
            if (offset == 10) expected.push_back("and 1 more: alert D");
        } else {
            raise(text);
            if (text == "alert A" || text == "alert E") expected.push_back(text);
        }
        waitForDelivery();
        const auto messages = server.messages();
        ASSERT_EQ(expected.size(), messages.size()) << "+" << offset << " " << text;
    }
    const auto messages = server.messages();
    for (std::size_t i = 0; i < messages.size(); ++i)
        EXPECT_EQ(expected[i], messages[i].body.substr(0, messages[i].body.find('\n')));
    // The digest names each alert again below its list, as its own mail would.
    EXPECT_EQ("and 2 more: alert B, alert C\n\nalert B\n\nalert C\n\n", messages[1].body);
    EXPECT_EQ(3u, count(log(), "[INFO ]: alert held for the next digest mail: minimum interval\r\n"));

    // At 0 every alert goes out at once, the same second included.
    useServer(server, "ops@example.test", 0);
    raise("again 1");
    raise("again 2");
    waitForDelivery();
    EXPECT_EQ(expected.size() + 2, server.messages().size());
    EXPECT_FALSE(sink.digestDue());
    // What the metrics read: alerts, whether alone or in a digest.
    EXPECT_EQ(7u, sink.counters()->sent);
    EXPECT_EQ(3u, sink.counters()->suppressed);
    EXPECT_EQ(3u, sink.counters()->digested);
    EXPECT_EQ(0u, sink.counters()->failed);
}

TEST_F(AlertDispatchTest, EmptyRecipientListLogsAnEmptyErrorWithoutConnecting) {
    ScriptedSmtpPeer peer;
    sink.setSettings(settingsOf("127.0.0.1", std::to_string(peer.port()), "ops@example.test", "pw", "", 0));
    raise("Gate" + kNotWorking);
    now += 1;
    raise("Gate started successfully: pid=7");
    waitForDelivery();
    const std::string text = log();
    std::size_t count = 0;
    for (auto pos = text.find("[ERROR]: Sending alert email error: \r\n"); pos != std::string::npos;
         pos = text.find("[ERROR]: Sending alert email error: \r\n", pos + 1))
        ++count;
    EXPECT_EQ(2u, count) << text;
    EXPECT_EQ(0, peer.connections());
    EXPECT_EQ(2u, sink.counters()->failed);
}

TEST_F(AlertDispatchTest, AFailedMailIsLoggedAndItsAlertsNamedInTheNextMailThatGoesThrough) {
    SmtpTestServer server;
    sink.setSettings(settingsOf(server.host(), server.portText(), server.user(), "not the password", "ops@example.test", 5));
    raise("Login" + kNotWorking);
    now += 1;
    raise("held back, then failing too");
    now += 4;
    ASSERT_TRUE(sink.sendDigest(now));
    waitForDelivery();
    EXPECT_NE(std::string::npos, log().find("[ERROR]: Sending alert email error: Bad login or password (535 5.7.8 "))
        << log();
    EXPECT_TRUE(server.messages().empty());
    EXPECT_EQ(2u, sink.counters()->failed);
    EXPECT_EQ(2u, sink.unsent().size());

    // The password put right: the next mail names both, once.
    useServer(server, "ops@example.test", 5);
    now += 5;
    raise("Back" + kNotWorking);
    now += 2;
    raise("and later");
    now += 3;
    ASSERT_TRUE(sink.sendDigest(now));
    waitForDelivery();
    const auto messages = server.waitForMessages(2);
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ("Back" + kNotWorking + "\n\n2 alerts could not be sent: Login" + kNotWorking +
                  ", held back, then failing too\n\n",
              messages[0].body);
    EXPECT_EQ(std::string::npos, messages[1].body.find("could not be sent")) << messages[1].body;
    EXPECT_EQ(0u, sink.unsent().size());
}

TEST_F(AlertDispatchTest, RecipientTextIsSplitAtSemicolonsSkippingEmptyPieces) {
    // A relay without login, which SendMail reaches without TLS.
    SmtpTestServer::Options relay;
    relay.requireAuth = false;
    SmtpTestServer server(relay);
    for (const std::string recipients :
         {"a@example.test;b@example.test", "a@example.test;b@example.test;", "a@example.test;;b@example.test",
          ";a@example.test;b@example.test", ";;a@example.test;b@example.test;;"}) {
        std::string error;
        EXPECT_TRUE(SendMail(error, server.host(), server.portText(), "", "", "split", "body", recipients, ""))
            << recipients << ": " << error;
    }
    const auto messages = server.messages();
    ASSERT_EQ(5u, messages.size());
    for (const auto& m : messages) {
        EXPECT_EQ((std::vector<std::string>{"a@example.test", "b@example.test"}), m.rcptTos);
        EXPECT_EQ("<a@example.test>,<b@example.test>", m.header("To"));
    }
}

TEST_F(AlertDispatchTest, RecipientPiecesAreTakenAsTheyStand) {
    {
        ScriptedSmtpPeer peer;
        std::string error;
        EXPECT_FALSE(SendMail(error, "127.0.0.1", std::to_string(peer.port()), "", "", "s", "b", ";", ""));
        EXPECT_EQ("Undefined at least one reciepent", error);
        peer.waitFinished();
        EXPECT_EQ(0u, peer.commands().back().rfind("MAIL FROM:<procward@", 0)) << peer.commands().back();
    }
    {
        ScriptedSmtpPeer peer;
        std::string error;
        EXPECT_TRUE(SendMail(error, "127.0.0.1", std::to_string(peer.port()), "", "", "s", "b",
                             "a@example.test; b@example.test", ""))
            << error;
        peer.waitFinished();
        const auto commands = peer.commands();
        EXPECT_NE(commands.end(), std::find(commands.begin(), commands.end(), "RCPT TO:< b@example.test>"));
        EXPECT_NE(std::string::npos, peer.data().find("\r\nTo: <a@example.test>,< b@example.test>\r\n"));
    }
}

TEST_F(AlertDispatchTest, PortTextIsReadAsAtoiReadsItInItsLow16Bits) {
    ScriptedSmtpPeer peer;
    InstrumentedSockets sockets;
    sockets.serviceAnswer = std::optional<std::uint16_t>(std::uint16_t{25});
    sockets.redirectPort = static_cast<std::uint16_t>(peer.port());
    for (const std::string port : {"", "abc", "587", "70000"}) {
        std::string error;
        EXPECT_TRUE(SendMail(error, "127.0.0.1", port, "", "", "s", "b", "to@example.test", ""))
            << port << ": " << error;
    }
    EXPECT_EQ((std::vector<std::uint16_t>{25, 25, 587, 4464}), sockets.connectPorts);
    EXPECT_EQ((std::vector<std::string>{"mail", "mail"}), sockets.servicesLookedUp);
}

TEST_F(AlertDispatchTest, SendMailReportsEveryFailureAsFalseWithItsText) {
    std::string error = "left alone";
    EXPECT_FALSE(SendMail(error, "127.0.0.1", "1", "u", "p", "s", "b", "", ""));
    EXPECT_EQ("left alone", error);

    InstrumentedSockets sockets;
    sockets.startResult = platform::SocketLibraryStart::Unavailable;
    EXPECT_FALSE(SendMail(error, "127.0.0.1", "1", "u", "p", "s", "b", "a@example.test", ""));
    EXPECT_EQ("Unable to initialise winsock2", error);
    sockets.startResult = platform::SocketLibraryStart::Started;

    EXPECT_FALSE(SendMail(error, "", "1", "u", "p", "s", "b", "a@example.test", ""));
    EXPECT_EQ("Unable to determine remote server", error);
    EXPECT_EQ(0, sockets.created - sockets.closed);
}

}  // namespace

namespace {

AlertEvent killedEvent(const std::string& name, std::int64_t time) {
    AlertEvent event;
    event.kind = AlertKind::ServerDown;
    event.name = name;
    event.time = time;
    event.message = name + kNotWorking;
    event.subject = kAlertSubject;
    event.reason = "was killed by signal 9 (SIGKILL)";
    return event;
}

TEST_F(AlertDispatchTest, AlertsHeldBackByTheIntervalFollowAsOneDigestMailAndEventsChooseWhatIsMailed) {
    SmtpTestServer server;
    AlertMailSettingsData settings =
        settingsOf(server.host(), server.portText(), server.user(), server.password(), "ops@example.test", 5);
    settings.events = {"down"};
    sink.setSettings(settings);
    MailAlerts mail(sink);
    const std::int64_t start = now;
    // Twenty servers killed within a second, each restarted at once: the
    // restarts are not for the mail, and the interval holds back 19 falls.
    for (int i = 1; i <= 20; ++i) {
        const std::string name = (i < 10 ? "game0" : "game") + std::to_string(i);
        mail.alert(killedEvent(name, i == 1 ? start : start + 1));
        AlertEvent restarted;
        restarted.kind = AlertKind::Restarted;
        restarted.name = name;
        restarted.pid = 100 + i;
        restarted.time = start + 1;
        restarted.message = name + " started successfully: pid=" + std::to_string(100 + i);
        restarted.subject = kAlertSubject;
        mail.alert(restarted);
    }
    ASSERT_EQ(start + 5, sink.digestDue());
    EXPECT_FALSE(sink.sendDigest(start + 4));
    EXPECT_TRUE(sink.sendDigest(start + 5));
    EXPECT_FALSE(sink.digestDue());
    waitForDelivery();

    const auto messages = server.messages();
    ASSERT_EQ(2u, messages.size()) << log();
    // The alert itself, with how the process ended after its first line.
    EXPECT_EQ(0u, messages[0].body.find("game01" + kNotWorking + "\n\nHost: ")) << messages[0].body;
    EXPECT_NE(std::string::npos, messages[0].body.find("\nExit: was killed by signal 9 (SIGKILL)\n")) << messages[0].body;
    EXPECT_EQ(kAlertSubject, messages[1].subject);
    std::string digest = "and 19 more: ";
    for (int i = 2; i <= 20; ++i)
        digest += (i > 2 ? ", " : "") + std::string(i < 10 ? "game0" : "game") + std::to_string(i) + " down (SIGKILL)";
    const std::string& body = messages[1].body;
    EXPECT_EQ(0u, body.find(digest + "\n\n")) << body;
    // Below the list, each server's own alert with how its process ended.
    for (int i = 2; i <= 20; ++i) {
        const std::string name = std::string(i < 10 ? "game0" : "game") + std::to_string(i);
        EXPECT_NE(std::string::npos, body.find("\n\n" + name + kNotWorking + "\nHost: ")) << name;
    }
    EXPECT_EQ(19u, count(body, "\nExit: was killed by signal 9 (SIGKILL)\n"));
    EXPECT_EQ(19u, sink.counters()->digested);

    // Every event is still logged; the digest moved the interval.
    const std::string text = log();
    EXPECT_NE(std::string::npos, text.find("[INFO ]: game20 started successfully: pid=120\r\n")) << text;
    EXPECT_EQ(start + 10, sink.throttle().Ends(5));
}

}  // namespace
