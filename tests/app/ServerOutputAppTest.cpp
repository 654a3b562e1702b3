// A server's own output under the real procwardd: the file, the exit reason
// in the log, the mail (through a real SMTP server), ctl status, JSON,
// metrics and ctl logs; procwardd killed with SIGKILL while a server
// writes; ctl logs -f across a rotation.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include <gtest/gtest.h>
#include <httplib.h>
#include <rapidjson/document.h>

#include "platform/System.h"
#include "tests/app/Installation.h"
#include "tests/support/SmtpTestServer.h"

namespace {

// The numbers of the test server's "count N ..." lines in `text`, in order.
std::vector<long long> counts(const std::string& text) {
    std::vector<long long> numbers;
    static const std::regex line("count (\\d{8}) \\.{80}\n");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it)
        numbers.push_back(std::stoll((*it)[1]));
    return numbers;
}

class ServerOutputAppTest : public ::testing::Test {
protected:
    std::string entry(const std::string& name, const std::string& arguments) const {
        return R"({"name":")" + name + R"(","processname":"procward-testserver","commandline":")" +
               install.testServer() + " " + arguments + R"("})";
    }
    rapidjson::Document status() {
        rapidjson::Document json;
        const Installation::Result result = install.ctl({"status", "--json"});
        json.Parse(result.output.c_str());
        if (json.HasParseError() || !json.IsObject()) json.Parse("{\"servers\":[]}");
        return json;
    }
    std::string outputFile(const std::string& name) const {
        return install.logDirectory() + "/servers/" + name + ".log";
    }

    Installation install;
};

TEST_F(ServerOutputAppTest, AServerThatPrintsAndExits3SaysSoInItsFileTheLogTheMailCtlJsonAndMetrics) {
    SmtpTestServer smtp;
    const int metrics = freeTcpPort();
    install.writeServers("[" + entry("db", R"(--say \"fatal: cannot open database /nope/db\" --exit-code 3)") + "]");
    install.writeSettings(
        "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nRESTART_BACKOFF_MAX=3600\n[METRICS]\nLISTEN=127.0.0.1:" +
        std::to_string(metrics) + "\n[ALERT_MAIL]\nSMTP_SERVER=127.0.0.1\nSMTP_PORT=" + smtp.portText() +
        "\nSMTP_USER=" + smtp.user() + "\nSMTP_PASSWORD=" + smtp.password() +
        "\nSMTP_MAILTO=ops@example.test\nSMTP_SECURITY=none\nMIN_ALERT_INTERVAL=0\n");
    install.start();

    // The mail about its end.
    ReceivedMessage down;
    ASSERT_TRUE(waitFor(
        [&] {
            for (const ReceivedMessage& mail : smtp.waitForMessages(1, std::chrono::seconds(1)))
                if (mail.body.rfind("db: service not working", 0) == 0 ||
                    mail.body.rfind("db could not be started: it exited with code 3", 0) == 0) {
                    down = mail;
                    return true;
                }
            return false;
        },
        30000))
        << install.log();
    std::string host;
    ASSERT_TRUE(platform::hostName(host));
    EXPECT_EQ("26300 告警邮件", down.subject);
    // Gone as soon as it was started, or just after: the alert's first line
    // says which.
    const std::string first = down.body.substr(0, down.body.find('\n'));
    EXPECT_TRUE(
        first == "db: service not working，it will be restarted right away!" ||
        std::regex_match(first, std::regex("db could not be started: it exited with code 3 after \\d+\\.\\d s")))
        << first;
    EXPECT_NE(std::string::npos, down.body.find("\nHost: " + host + "\n")) << down.body;
    EXPECT_NE(std::string::npos, down.body.find("\nExit: exited with code 3\n")) << down.body;
    EXPECT_NE(std::string::npos, down.body.find("lines of " + outputFile("db") + ":\n")) << down.body;
    EXPECT_NE(std::string::npos, down.body.find("\n  fatal: cannot open database /nope/db (stderr)\n")) << down.body;

    EXPECT_NE(std::string::npos, install.log().find("[WARNING]: db exited with code 3 after")) << install.log();
    // The change line of the text mode says why it is down.
    EXPECT_NE(std::string::npos, install.process->waitForOutput("  [exited with code 3 after ", 15000))
        << install.process->output();

    const std::string file = readFile(outputFile("db"));
    EXPECT_NE(std::string::npos, file.find("fatal: cannot open database /nope/db (stderr)\n")) << file;
    EXPECT_TRUE(std::regex_search(file, std::regex("\\[procward\\] started pid \\d+\n"))) << file;
    EXPECT_TRUE(std::regex_search(file, std::regex("\\[procward\\] exited with code 3 after \\d+\\.\\d s\n"))) << file;

    // The relaunch after the fall counts as a restart; it comes after the
    // back-off, so wait for it.
    rapidjson::Document json;
    ASSERT_TRUE(waitFor(
        [&] {
            json = status();
            return json["servers"].Size() == 1 && json["servers"][0]["restarts"].GetUint64() >= 1;
        },
        30000));
    const auto& db = json["servers"][0];
    ASSERT_TRUE(db["last_exit"].IsObject());
    EXPECT_EQ(3, db["last_exit"]["code"].GetInt());
    EXPECT_FALSE(db["last_exit"]["core_dumped"].GetBool());
    EXPECT_EQ(outputFile("db"), db["output_file"].GetString());
    EXPECT_EQ(0, db["uptime_seconds"].GetInt64());

    const Installation::Result table = install.ctl({"status"});
    EXPECT_NE(std::string::npos, table.output.find("RESTARTS")) << table.output;
    EXPECT_NE(std::string::npos, table.output.find("exited with code 3")) << table.output;

    httplib::Client client("127.0.0.1", metrics);
    const auto scrape = client.Get("/metrics");
    ASSERT_TRUE(scrape);
    EXPECT_NE(std::string::npos, scrape->body.find("procward_server_last_exit_code{name=\"db\"} 3\n"));
    EXPECT_TRUE(
        std::regex_search(scrape->body, std::regex("procward_server_exits_total\\{name=\"db\",how=\"code\"\\} [1-9]")))
        << scrape->body;

    const Installation::Result logs = install.ctl({"logs", "db", "-n", "3"});
    EXPECT_EQ(0, logs.code) << logs.output;
    EXPECT_NE(std::string::npos, logs.output.find("fatal: cannot open database /nope/db (stderr)\n")) << logs.output;
    EXPECT_NE(std::string::npos, logs.output.find("[procward] exited with code 3 after")) << logs.output;
    EXPECT_EQ(3, std::count(logs.output.begin(), logs.output.end(), '\n')) << logs.output;

    const Installation::Result unknown = install.ctl({"logs", "nosuch"});
    EXPECT_EQ(1, unknown.code);
    EXPECT_NE(std::string::npos, unknown.output.find("no server is named \"nosuch\"")) << unknown.output;
}

TEST_F(ServerOutputAppTest, ProcwarddKilledWhileAServerWritesHarmsItNotAndTheNextOneAppends) {
    install.writeServers("[" + entry("writer", "--count-lines 20 1") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    install.start();
    const std::string file = outputFile("writer");
    ASSERT_TRUE(waitFor([&] { return counts(readFile(file)).size() >= 5; }, 15000)) << install.log();
    const std::vector<int> pids = install.serverPids();
    ASSERT_EQ(1u, pids.size());

    install.process->signal(SIGKILL);
    install.process->wait(15000);
    install.process.reset();
    // Without its supervisor it goes on writing, into the same file.
    const std::size_t before = counts(readFile(file)).size();
    ASSERT_TRUE(waitFor([&] { return counts(readFile(file)).size() >= before + 10; }, 15000));
    EXPECT_TRUE(processAlive(pids[0]));

    install.start();
    // Taken over, not started again; its lines go on in order.
    ASSERT_TRUE(waitFor([&] { return install.log().find("taken over from the previous run") != std::string::npos; }))
        << install.log();
    EXPECT_EQ(pids, install.serverPids());
    const std::size_t taken = counts(readFile(file)).size();
    ASSERT_TRUE(waitFor([&] { return counts(readFile(file)).size() >= taken + 10; }, 15000));
    EXPECT_EQ(0, install.ctl({"stop", "writer"}).code);
    const std::string text = readFile(file);
    const std::vector<long long> numbers = counts(text);
    for (std::size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i - 1] + 1, numbers[i]) << "line lost";
    // One launch, one end, written by two different Procwards.
    EXPECT_TRUE(std::regex_search(text, std::regex("\\[procward\\] started pid " + std::to_string(pids[0]) + "\n")));
    EXPECT_TRUE(
        std::regex_search(text, std::regex("\\[procward\\] ended; exit status unknown|\\[procward\\] was killed")))
        << text.substr(text.size() > 400 ? text.size() - 400 : 0);
}

// A server writing as fast as it can for 20 s: its files stay within the
// limit all along, procwardd answers, and not one line is lost across the
// many rotations (the newest three files hold a gapless run of lines).
TEST_F(ServerOutputAppTest, AWriterAtFullSpeedKeepsItsFilesWithinTheLimitAndLosesNoLine) {
    install.writeServers("[" + entry("flood", "--count-lines 0 700") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSERVER_LOG_MAX_MB=1\nSERVER_LOG_BACKUPS=2\n");
    install.start();
    const std::string file = outputFile("flood");
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(file + ".2"); }, 30000)) << install.log();
    // Room for the supervisor's own lines, which it appends beside the writer.
    constexpr std::uintmax_t kMost = 1024 * 1024 + 4096;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int looks = 0;
    while (std::chrono::steady_clock::now() < until) {
        for (const std::string& path : {file, file + ".1", file + ".2"}) {
            std::error_code error;
            const std::uintmax_t size = std::filesystem::file_size(path, error);
            if (!error) {
                ASSERT_LE(size, kMost) << path << " after " << looks << " looks";
            }
        }
        ASSERT_FALSE(std::filesystem::exists(file + ".3"));
        // It answers (3 only says that the server is still starting).
        const Installation::Result answer = install.ctl({"status", "--json"});
        ASSERT_NE(std::string::npos, answer.output.find("\"name\":\"flood\"")) << answer.output;
        ++looks;
    }
    EXPECT_EQ(0, install.ctl({"stop", "flood"}).code);
    std::string kept;
    for (const std::string& path : {file + ".2", file + ".1", file}) kept += readFile(path);
    const std::vector<long long> numbers = counts(kept);
    ASSERT_GT(numbers.size(), 20000u);
    for (std::size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i - 1] + 1, numbers[i]) << "line lost";
    EXPECT_EQ(std::string::npos, install.log().find("[ERROR]")) << install.log();
}

TEST_F(ServerOutputAppTest, CtlLogsFollowsAServerAcrossARotation) {
    install.writeServers("[" + entry("chatty", "--count-lines 5 50") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSERVER_LOG_MAX_MB=1\nSERVER_LOG_BACKUPS=2\n");
    install.start();
    const std::string file = outputFile("chatty");
    ASSERT_TRUE(waitFor([&] { return counts(readFile(file)).size() >= 10; }, 15000)) << install.log();

    std::vector<std::string> words = {"ctl", "logs", "chatty", "-n", "5", "-f"};
    ChildProcess follow(install.executable(), words, "/");
    ASSERT_NE(std::string::npos, follow.waitForOutput("count ", 15000));
    // Two rotations while it follows.
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(file + ".2"); }, 60000)) << install.log();
    // Read while the next rotation may be moving it: wait for its lines.
    std::vector<long long> rotated;
    ASSERT_TRUE(waitFor([&] { return !(rotated = counts(readFile(file + ".1"))).empty(); }, 15000));
    const std::size_t rotatedAt = static_cast<std::size_t>(rotated.back());
    follow.waitForOutput(
        "count " + std::string(8 - std::to_string(rotatedAt + 200).size(), '0') + std::to_string(rotatedAt + 200),
        30000);
    follow.signal(SIGINT);
    follow.wait(15000);
    EXPECT_FALSE(std::filesystem::exists(file + ".3"));

    const std::vector<long long> seen = counts(follow.output());
    ASSERT_GT(seen.size(), 5u);
    EXPECT_GT(seen.back(), static_cast<long long>(rotatedAt + 199)) << "did not follow past the rotation";
    // In order and without a gap: the writer rotates by renaming, between
    // two lines, and the follower reads what it had not shown from .1.
    for (std::size_t i = 1; i < seen.size(); ++i) ASSERT_EQ(seen[i - 1] + 1, seen[i]) << "line lost";
    // Each file is within the limit and holds whole lines.
    for (const std::string& path : {file, file + ".1", file + ".2"}) {
        const std::string text = readFile(path);
        EXPECT_LE(text.size(), 1024u * 1024u) << path;
        if (path != file) {
            EXPECT_EQ('\n', text.back()) << path;
        }
    }
}

}  // namespace
