// The webhook channels of the real program: its own start and end, a
// server's fall and its digest reach a local HTTPS receiver; --test-alert
// prints each channel's outcome.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "tests/app/Installation.h"
#include "tests/support/ChatServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestCertificates.h"

namespace {

std::string eventOf(const ChatServer::Request& request) {
    rapidjson::Document body;
    body.Parse(request.body.c_str());
    if (!body.IsObject() || !body.HasMember("event")) return "?";
    return body["event"].GetString();
}

class WebhookAppTest : public ::testing::Test {
protected:
    const TestCertificates::Shared& certificates = TestCertificates::shared();
    ScopedTrustStore trust{certificates.authority.authorityFile()};
};

TEST_F(WebhookAppTest, TheReceiverHearsTheStartAFallItsDigestAndTheEnd) {
    ChatServer receiver(certificates.loopback);
    Installation install;
    install.writeServers("[" + install.entry("gs1", "--role hooked1") + "," + install.entry("gs2", "--role hooked2") +
                         "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nRESTART_BACKOFF_MAX=0\nSTART_CONFIRM_SECONDS=0\n"
                          "[WEBHOOK.receiver]\nURL=" + receiver.url("/alerts") +
                          "\nKIND=json\nMIN_INTERVAL=2\nEVENTS=started,down,stopping\n");
    install.start();
    // Started; the first alert of the run is posted at once.
    ASSERT_TRUE(receiver.waitForRequests(1)) << install.log();
    EXPECT_EQ("started", eventOf(receiver.requests()[0]));
    std::vector<int> pids;
    ASSERT_TRUE(waitFor([&] { return (pids = install.serverPids()).size() == 2; }, 15000));
    // Both killed at once: held back by the interval, then one digest.
    for (int pid : pids) ::kill(pid, SIGKILL);
    ASSERT_TRUE(receiver.waitForRequests(2)) << install.log();
    const ChatServer::Request digest = receiver.requests()[1];
    EXPECT_EQ("digest", eventOf(digest)) << digest.body;
    EXPECT_NE(std::string::npos, digest.body.find("gs1 down (SIGKILL)")) << digest.body;
    EXPECT_NE(std::string::npos, digest.body.find("gs2 down (SIGKILL)")) << digest.body;

    install.process->signal(SIGTERM);
    ASSERT_TRUE(WIFEXITED(install.process->wait(20000)));
    ASSERT_EQ(3u, receiver.requests().size()) << install.log();
    EXPECT_EQ("stopping", eventOf(receiver.requests()[2]));
    const std::string log = install.log();
    EXPECT_NE(std::string::npos, log.find("Webhook receiver: json to https://127.0.0.1:")) << log;
    EXPECT_NE(std::string::npos, log.find("Webhook receiver: sent: Procward stopping")) << log;
}

TEST_F(WebhookAppTest, TestAlertPrintsEachChannelsOutcomeWithSecretsMasked) {
    ChatServer good(certificates.loopback);
    ChatServer refusing(certificates.loopback);
    refusing.answer(200, R"({"code":19021,"msg":"sign match fail or timestamp is not within one hour"})");
    Installation install;
    install.writeSettings("[WEBHOOK.ops]\nURL=" + good.url("/cgi-bin/webhook/send?key=TOKEN-0123456789") +
                          "\nKIND=wecom\n[WEBHOOK.lark]\nURL=" + refusing.url("/open-apis/bot/v2/hook/abcdefghijkl") +
                          "\nKIND=feishu\nSECRET=TopSecret99\n");
    auto run = [&](const std::vector<std::string>& args) {
        ChildProcess child(install.executable(), args, "/");
        const int status = child.wait(60000);
        return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, child.output());
    };

    const auto [code, output] = run({"--test-alert", "--verbose"});
    EXPECT_EQ(1, code) << output;
    EXPECT_NE(std::string::npos, output.find("mail: off (no SMTP server)\n")) << output;
    EXPECT_NE(std::string::npos, output.find("ops (wecom): posting a test alert to https://127.0.0.1:" +
                                             std::to_string(good.port()) + "/cgi-bin/webhook/send?key=***\n"))
        << output;
    EXPECT_NE(std::string::npos, output.find("ops (wecom): sent\n")) << output;
    EXPECT_NE(std::string::npos,
              output.find("lark (feishu): failed: code 19021: sign match fail or timestamp is not within one hour\n"))
        << output;
    EXPECT_NE(std::string::npos, output.find("> POST /open-apis/bot/v2/hook/*** HTTP/1.1")) << output;
    EXPECT_EQ(std::string::npos, output.find("TOKEN-0123456789")) << output;
    EXPECT_EQ(std::string::npos, output.find("abcdefghijkl")) << output;
    EXPECT_EQ(std::string::npos, output.find("TopSecret99")) << output;
    ASSERT_EQ(1u, good.requests().size());
    EXPECT_NE(std::string::npos, good.requests()[0].body.find("Procward test alert")) << good.requests()[0].body;

    // One channel by its name.
    const auto [one, oneOutput] = run({"--test-alert", "ops"});
    EXPECT_EQ(0, one) << oneOutput;
    EXPECT_EQ(std::string::npos, oneOutput.find("lark")) << oneOutput;
    EXPECT_EQ(2u, good.requests().size());
    const auto [none, noneOutput] = run({"--test-alert", "nosuch"});
    EXPECT_EQ(1, none);
    EXPECT_NE(std::string::npos, noneOutput.find("No alert channel named \"nosuch\" (channels: mail, ops, lark)"))
        << noneOutput;
}

}  // namespace
