// Forty supervised servers killed at once, against a real mail server and a
// robot of each kind that keeps its vendor's rules (VendorRobot): every
// killed server is named in a mail and in a post each robot took, within
// three minutes on the alert channels' clock; the first alert goes out at
// once; no robot is posted to faster or longer than it takes.
#include <signal.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <set>

#include <gtest/gtest.h>

#include "alerts/AlertChannels.h"
#include "app/core/MailAlerts.h"
#include "log/AppLogger.h"
#include "mail/MailAlertSink.h"
#include "mail/MailDelivery.h"
#include "platform/ProcessControl.h"
#include "supervision/Supervisor.h"
#include "tests/support/ChatServer.h"
#include "tests/support/DrivenMailClock.h"
#include "tests/support/ManualClock.h"
#include "tests/support/SmtpTestServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestServer.h"
#include "tests/support/TodaysLog.h"
#include "tests/support/VendorRobot.h"

namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kStart = 1700000000;
const std::string kNotWorking = ": service not working，it will be restarted right away!";

// The supervisor's clock, whose calendar time moves with it.
class BurstClock : public ManualClock {
public:
    std::int64_t secondsSince1970() const override {
        return kStart + std::chrono::duration_cast<std::chrono::seconds>(now() - origin_).count();
    }
    std::int64_t ms() const {
        return kStart * 1000 + std::chrono::duration_cast<std::chrono::milliseconds>(now() - origin_).count();
    }

private:
    TimePoint origin_ = now();
};

std::string nameOf(int i) { return std::string(i < 10 ? "burst0" : "burst") + std::to_string(i); }

TEST(AlertBurstTest, FortyKillsReachTheMailAndEveryRobotWithinItsRules) {
    TempDir dir;
    ScopedWorkingDirectory cwd{dir.path()};
    ASSERT_EQ(0, ::mkdir("logs", 0777));
    ASSERT_TRUE(AppLogger::Instance().Init());
    const TestCertificates::Shared& certificates = TestCertificates::shared();
    ScopedTrustStore trust{certificates.authority.authorityFile()};
    BurstClock clock;
    DrivenMailClock channelClock(clock.ms());

    SmtpTestServer smtp;
    AlertMailSettingsData settings;
    settings.smtpServer = smtp.host();
    settings.smtpPort = smtp.portText();
    settings.smtpUser = smtp.user();
    settings.smtpPassword = smtp.password();
    settings.smtpMailTo = "ops@example.test";
    settings.smtpSecurity = SmtpSecurity::None;
    settings.minAlertInterval = 5;
    MailDelivery delivery;
    MailAlertSink sink(delivery, settings);
    MailAlerts mail(sink);

    ChatServer robots(certificates.loopback);
    std::map<std::string, std::unique_ptr<VendorRobot>> vendors;
    std::vector<WebhookSettingsData> hooks;
    for (const WebhookKind kind : {WebhookKind::DingTalk, WebhookKind::WeCom, WebhookKind::Feishu, WebhookKind::Slack}) {
        WebhookSettingsData hook;
        hook.name = WebhookKindName(kind);
        hook.kind = kind;
        hook.url = robots.url("/" + hook.name);
        hook.events = AlertEventNames();
        hook.text = kind == WebhookKind::WeCom;
        // No interval but the budget, except for one.
        hook.minInterval = kind == WebhookKind::Feishu ? 5 : 0;
        hooks.push_back(hook);
        vendors["/" + hook.name] =
            std::make_unique<VendorRobot>(kind, hook.text, [&channelClock] { return channelClock.ms(); });
    }
    robots.respond([&](const ChatServer::Request& request) { return vendors.at(request.path)->answer(request); });
    AlertChannels channels;
    channels.configure(hooks);

    SupervisionOptions options;
    options.checkInterval = 1s;
    options.restartOnExit = false;
    Supervisor supervisor(clock, platform::processControl(), options);
    supervisor.addAlertSink(&mail);
    supervisor.addAlertSink(&channels);
    const std::string program = copyTestServer(dir.file("procward-testserver"));
    std::vector<ServerEntry> entries;
    for (int i = 1; i <= 40; ++i)
        entries.push_back(ServerEntry{i, nameOf(i), "procward-testserver", program + " --role " + nameOf(i)});
    supervisor.load(entries);

    // One second of everybody's clock, and all that is due then.
    const auto step = [&] {
        clock.advance(1s);
        channelClock.set(clock.ms());
        supervisor.runDue();
        sink.sendDigest(clock.secondsSince1970());
        channels.wake();
        for (const auto& channel : channels.channels()) ASSERT_TRUE(channel->waitSettled(60s));
        ASSERT_TRUE(delivery.waitIdle(60s));
    };
    // The start and its alerts are over, and a minute of budget has passed.
    for (int s = 0; s < 65; ++s) step();
    std::vector<int> pids;
    for (const auto& [index, server] : supervisor.servers()) pids.push_back(server->info().pid);
    ASSERT_EQ(40u, pids.size());
    for (int pid : pids) ASSERT_GT(pid, 0);
    const std::size_t mailsBefore = smtp.messages().size();
    std::map<std::string, std::size_t> postsBefore;
    for (const auto& [path, robot] : vendors) postsBefore[path] = robot->accepted().size();

    for (int pid : pids) ::kill(pid, SIGKILL);
    for (int pid : pids) ASSERT_TRUE(waitFor([pid] { return !processAlive(pid); }));
    const std::int64_t killedAt = clock.ms();

    // Per channel: when it first told of a kill, and when all forty were named.
    std::map<std::string, std::int64_t> first, complete;
    const auto look = [&] {
        std::map<std::string, std::vector<std::string>> texts;
        const auto messages = smtp.messages();
        for (std::size_t m = mailsBefore; m < messages.size(); ++m) texts["mail"].push_back(messages[m].body);
        for (const auto& [path, robot] : vendors) {
            const auto accepted = robot->accepted();
            texts[path].assign(accepted.begin() + static_cast<std::ptrdiff_t>(postsBefore[path]), accepted.end());
        }
        for (const auto& [channel, list] : texts) {
            std::set<int> named;
            for (const std::string& text : list)
                for (int i = 1; i <= 40; ++i)
                    if (text.find(nameOf(i) + kNotWorking) != std::string::npos ||
                        text.find(nameOf(i) + " down") != std::string::npos)
                        named.insert(i);
            if (!named.empty() && !first.count(channel)) first[channel] = clock.ms();
            if (named.size() == 40 && !complete.count(channel)) complete[channel] = clock.ms();
        }
    };
    for (int s = 0; s < 180 && complete.size() < 5; ++s) {
        step();
        look();
    }

    for (const char* channel : {"mail", "/dingtalk", "/wecom", "/feishu", "/slack"}) {
        SCOPED_TRACE(channel);
        ASSERT_TRUE(complete.count(channel)) << readFile(todaysLogFile());
        EXPECT_LE(first[channel] - killedAt, 2000);
        EXPECT_LE(complete[channel] - killedAt, 180000);
    }
    for (const auto& [path, robot] : vendors) {
        EXPECT_EQ(0, robot->tooFast()) << path;
        EXPECT_EQ(0, robot->tooLong()) << path;
    }
    // One mail per interval at most, and nothing failed or given up.
    const auto seconds = (clock.ms() - killedAt) / 1000;
    EXPECT_LE(smtp.messages().size() - mailsBefore, static_cast<std::size_t>(seconds / 5 + 1));
    EXPECT_EQ(0u, sink.counters()->failed);
    for (const auto& channel : channels.channels()) EXPECT_EQ(0u, channel->counters()->failed) << channel->logName();
    const std::string log = readFile(todaysLogFile());
    EXPECT_EQ(std::string::npos, log.find("queue is full")) << log;

    channels.shutdown(std::chrono::steady_clock::now());
    std::vector<int> left;
    for (const auto& [index, server] : supervisor.servers()) left.push_back(server->info().pid);
    supervisor.removeAlertSink(&channels);
    supervisor.removeAlertSink(&mail);
    for (int pid : left)
        if (pid > 0) killAndWait(pid);
    platform::processControl().reapChildren();
}

}  // namespace
