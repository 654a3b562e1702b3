// The delivery thread: alerts never hold up their caller, whatever the mail
// server does; a full queue drops its oldest mail; shutdown cancels the mail
// in flight and gives up the rest, each reported.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <map>
#include <mutex>

#include <gtest/gtest.h>

#include "config/AlertMailSettingsData.h"
#include "log/AppLogger.h"
#include "mail/AlertDispatch.h"
#include "mail/MailAlertSink.h"
#include "mail/CSmtp.h"
#include "mail/ECSmtp.h"
#include "mail/MailAbort.h"
#include "mail/MailDelivery.h"
#include "tests/support/ScriptedSmtpPeer.h"
#include "tests/support/SmtpTestServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"
#include "tests/support/TodaysLog.h"
#include "tests/support/FullBacklogListener.h"

namespace {

using namespace std::chrono_literals;
using Peer = ScriptedSmtpPeer;

const std::string kCancelled = "Mail not sent: delivery was cancelled because the program is ending";

Peer::Replies silentGreeting() {
    Peer::Replies replies;
    replies.greeting = Peer::kSilent;
    return replies;
}

// A greeting that never ends: "220-" and then one byte every 50 ms.
Peer::Replies drippingGreeting() {
    Peer::Replies replies;
    replies.greeting = "220-" + Peer::kDrip;
    replies.dripInterval = 50ms;
    return replies;
}

OutgoingMail mailTo(int port, const std::string& body) {
    OutgoingMail mail;
    mail.server = "127.0.0.1";
    mail.port = std::to_string(port);
    mail.user = "ops@example.test";
    mail.password = "pw";
    mail.security = SmtpSecurity::None;  // the test servers speak no TLS
    mail.subject = "26300 告警邮件";
    mail.body = body;
    mail.recipients = "oncall@example.test";
    mail.alert = true;
    return mail;
}

// The outcomes reported to the done callbacks, by mail body.
class Outcomes {
public:
    std::function<void(const MailOutcome&)> track(const std::string& body) {
        return [this, body](const MailOutcome& outcome) {
            std::lock_guard lock(mutex_);
            outcomes_.emplace_back(body, outcome);
        };
    }
    std::vector<std::pair<std::string, MailOutcome>> all() const {
        std::lock_guard lock(mutex_);
        return outcomes_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, MailOutcome>> outcomes_;
};

class MailDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, ::mkdir("logs", 0777));
        ASSERT_TRUE(AppLogger::Instance().Init());
    }
    std::string log() const { return readFile(todaysLogFile()); }
    static bool inFlight(const MailDelivery& delivery) {
        return waitFor([&] { return delivery.counts().inFlight; }, 10000);
    }

    TempDir dir;
    ScopedWorkingDirectory cwd{dir.path()};
};

TEST_F(MailDeliveryTest, AlertsReturnAtOnceWhileTheServerIsSilentOrDrips) {
    for (const auto& replies : {silentGreeting(), drippingGreeting()}) {
        Peer peer(replies);
        MailDelivery delivery;
        AlertMailSettingsData settings;
        settings.smtpServer = "127.0.0.1";
        settings.smtpPort = std::to_string(peer.port());
        settings.smtpUser = "ops@example.test";
        settings.smtpPassword = "pw";
        settings.smtpMailTo = "oncall@example.test";
        settings.minAlertInterval = 0;
        MailAlertSink sink(delivery, settings);
        const MailDelivery::Counts before = delivery.counts();
        const std::size_t logStart = log().size();
        sink.alert({"gs1: service not working，it will be restarted right away!", "26300 告警邮件", 1700000000});
        sink.alert({"gs1 started successfully: pid=4242", "26300 告警邮件", 1700000001});

        // Both calls are back and nothing has ended yet: the first mail is
        // still talking to the server, the second waits behind it.
        const MailDelivery::Counts counts = delivery.counts();
        EXPECT_EQ(before.sent + before.failed, counts.sent + counts.failed);
        EXPECT_EQ(2u, counts.waiting + (counts.inFlight ? 1u : 0u));
        const std::string logged = log().substr(logStart);
        EXPECT_NE(std::string::npos, logged.find("[INFO ]: gs1 started successfully: pid=4242\r\n"));
        EXPECT_EQ(std::string::npos, logged.find("[ERROR]"));

        // Exit: the mail in flight is cut short, the waiting one given up.
        ASSERT_TRUE(inFlight(delivery));
        delivery.shutdown(0ms);
        const std::string after = log().substr(logStart);
        EXPECT_NE(std::string::npos, after.find("[ERROR]: Sending alert email error: " + kCancelled + "\r\n")) << after;
        EXPECT_NE(std::string::npos,
                  after.find("[ERROR]: Alert email not sent before exit: gs1 started successfully: pid=4242\r\n"))
            << after;
        EXPECT_EQ(std::string::npos, after.find("Server not responding"));
        // Both count as failed for the metrics: one cut short, one never tried.
        EXPECT_EQ(2u, sink.counters()->failed);
        EXPECT_EQ(0u, sink.counters()->sent);
    }
}

TEST_F(MailDeliveryTest, MailsGoOutInOrderAndTheirOutcomesAreReported) {
    SmtpTestServer server;
    MailDelivery delivery;
    Outcomes outcomes;
    for (const std::string body : {"first", "second", "third"}) {
        OutgoingMail mail = mailTo(server.port(), body);
        mail.user = server.user();
        mail.password = body == "second" ? "wrong" : server.password();
        mail.done = outcomes.track(body);
        delivery.enqueue(std::move(mail));
    }
    ASSERT_TRUE(delivery.waitIdle(60s));
    const auto all = outcomes.all();
    ASSERT_EQ(3u, all.size());
    EXPECT_EQ("first", all[0].first);
    EXPECT_TRUE(all[0].second.sent());
    EXPECT_EQ("second", all[1].first);
    EXPECT_EQ(MailOutcome::Status::Failed, all[1].second.status);
    EXPECT_EQ(0u, all[1].second.errorText.rfind("Bad login or password (535"));
    EXPECT_TRUE(all[2].second.sent());
    const auto messages = server.waitForMessages(2);
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ("first\n\n", messages[0].body);
    EXPECT_EQ("third\n\n", messages[1].body);
    const MailDelivery::Counts counts = delivery.counts();
    EXPECT_EQ(3u, counts.queued);
    EXPECT_EQ(2u, counts.sent);
    EXPECT_EQ(1u, counts.failed);
    EXPECT_NE(std::string::npos, log().find("[ERROR]: Sending alert email error: Bad login or password (535"));
}

TEST_F(MailDeliveryTest, AFullQueueJoinsAlertMailsAndDropsNone) {
    SmtpTestServer server;
    MailDelivery delivery(2);
    Outcomes outcomes;
    auto toServer = [&](const std::string& body) {
        OutgoingMail mail = mailTo(server.port(), body);
        mail.user = server.user();
        mail.password = server.password();
        mail.moreLines = [body] { return std::vector<std::string>{"lines of " + body}; };
        mail.done = outcomes.track(body);
        return mail;
    };
    {
        // The first mail hangs at a server that says nothing while the rest queue.
        Peer peer(silentGreeting());
        OutgoingMail stuck = mailTo(peer.port(), "in flight");
        stuck.done = outcomes.track("in flight");
        delivery.enqueue(std::move(stuck));
        ASSERT_TRUE(inFlight(delivery));
        for (const std::string body : {"oldest", "middle", "newest"}) delivery.enqueue(toServer(body));
        OutgoingMail test = toServer("test");
        test.alert = false;  // a test mail is never joined to an alert
        delivery.enqueue(std::move(test));
        EXPECT_EQ(1u, delivery.counts().joined);
        EXPECT_EQ(3u, delivery.counts().waiting);
        EXPECT_TRUE(outcomes.all().empty());
    }  // the silent server goes away: the mail in flight fails, the rest go on

    ASSERT_TRUE(delivery.waitIdle(60s));
    const auto messages = server.waitForMessages(3);
    ASSERT_EQ(3u, messages.size()) << log();
    EXPECT_EQ("oldest\nlines of oldest\n\n", messages[0].body);
    // The newest after the middle one, each with its own lines.
    EXPECT_EQ("middle\nlines of middle\n\nnewest\nlines of newest\n\n", messages[1].body);
    EXPECT_EQ("test\nlines of test\n\n", messages[2].body);
    std::map<std::string, MailOutcome::Status> status;
    for (const auto& [body, outcome] : outcomes.all()) status[body] = outcome.status;
    EXPECT_EQ(5u, status.size());
    EXPECT_EQ(MailOutcome::Status::Failed, status["in flight"]);
    for (const char* body : {"oldest", "middle", "newest", "test"}) EXPECT_EQ(MailOutcome::Status::Sent, status[body]) << body;
    EXPECT_EQ(std::string::npos, log().find("dropped")) << log();
}

TEST_F(MailDeliveryTest, ShutdownGivesWaitingMailsTheirGraceFirst) {
    SmtpTestServer server;
    MailDelivery delivery;
    Outcomes outcomes;
    for (const std::string body : {"one", "two"}) {
        OutgoingMail mail = mailTo(server.port(), body);
        mail.user = server.user();
        mail.password = server.password();
        mail.done = outcomes.track(body);
        delivery.enqueue(std::move(mail));
    }
    // A server that answers gets both mails out within the grace.
    delivery.shutdown(60s);
    const auto all = outcomes.all();
    ASSERT_EQ(2u, all.size());
    EXPECT_TRUE(all[0].second.sent());
    EXPECT_TRUE(all[1].second.sent());
    EXPECT_EQ(2u, server.messages().size());

    // After a shutdown the delivery takes mails again.
    OutgoingMail later = mailTo(server.port(), "after");
    later.user = server.user();
    later.password = server.password();
    delivery.enqueue(std::move(later));
    ASSERT_TRUE(delivery.waitIdle(60s));
    EXPECT_EQ(3u, server.waitForMessages(3).size());
}

TEST_F(MailDeliveryTest, AConnectThatNeverCompletesIsCancelledToo) {
    FullBacklogListener listener;
    ASSERT_TRUE(listener.full());
    MailDelivery delivery;
    Outcomes outcomes;
    OutgoingMail mail = mailTo(listener.port(), "connecting");
    mail.done = outcomes.track("connecting");
    delivery.enqueue(std::move(mail));
    ASSERT_TRUE(inFlight(delivery));
    delivery.shutdown(0ms);
    const auto all = outcomes.all();
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ(kCancelled, all[0].second.errorText);
}

TEST_F(MailDeliveryTest, ADrippingServerIsStoppedByTheOverallLimit) {
    // Each wait sees a byte well within its limit; only the limit of the
    // whole exchange ends it.
    Peer peer(drippingGreeting());
    CSmtp client;
    client.SetServer("127.0.0.1", static_cast<std::uint16_t>(peer.port()));
    client.SetWaitLimit(10s);
    client.SetOverallLimit(1s);
    client.SetLogin("u");
    client.SetPassword("p");
    client.SetSenderAddress("u@example.test");
    client.AddRecipient("ops@example.test");
    try {
        client.Send();
        FAIL() << "a greeting that never ends was taken";
    } catch (const ECSmtp& e) {
        EXPECT_EQ(413, e.GetErrorCode());
        EXPECT_EQ("Mail server too slow: the mail was not sent within the time allowed (1 s)", e.GetErrorText());
    }
    // A silent server within the overall limit is still a wait that ran out.
    Peer silent(silentGreeting());
    client.SetServer("127.0.0.1", static_cast<std::uint16_t>(silent.port()));
    client.SetWaitLimit(200ms);
    client.SetOverallLimit(60s);
    try {
        client.Send();
        FAIL() << "a silent server was taken";
    } catch (const ECSmtp& e) {
        EXPECT_EQ(402, e.GetErrorCode());
    }
}

TEST_F(MailDeliveryTest, AnAbortBeforeTheConnectionMakesNone) {
    ScriptedSmtpPeer peer;
    auto abort = std::make_shared<MailAbort>();
    abort->abort();
    const MailOutcome outcome = DeliverMail(mailTo(peer.port(), "never"), abort);
    EXPECT_EQ(kCancelled, outcome.errorText);
    EXPECT_EQ(0, peer.connections());
}

}  // namespace
