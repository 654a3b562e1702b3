// /metrics of a running procwardd, fetched over HTTP and parsed.
#include <signal.h>

#include <map>
#include <sstream>

#include <httplib.h>
#include <gtest/gtest.h>

#include "tests/app/Installation.h"
#include "tests/support/TestServer.h"

namespace {

// Series (name with labels) to value, with the families' TYPE lines.
struct Scrape {
    std::map<std::string, double> values;
    std::map<std::string, std::string> types;
    std::vector<std::string> order;  // series in the order given
    bool ok = false;
    std::string contentType;
    double at(const std::string& series) const {
        const auto found = values.find(series);
        return found == values.end() ? -1 : found->second;
    }
    // Counted once the delivery thread is done with each mail, so a scrape
    // may come before the count of an alert the loop has raised.
    double alerts() const {
        return at(R"(procward_alerts_total{result="sent"})") + at(R"(procward_alerts_total{result="failed"})") +
               at(R"(procward_alerts_total{result="suppressed"})");
    }
};

Scrape fetch(int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10, 0);
    Scrape scrape;
    const auto response = client.Get("/metrics");
    if (!response || response->status != 200) return scrape;
    scrape.ok = true;
    scrape.contentType = response->get_header_value("Content-Type");
    std::istringstream lines(response->body);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("# TYPE ", 0) == 0) {
            std::istringstream words(line.substr(7));
            std::string name, type;
            words >> name >> type;
            scrape.types[name] = type;
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        const std::size_t space = line.rfind(' ');
        EXPECT_NE(std::string::npos, space) << line;
        const std::string series = line.substr(0, space);
        scrape.values[series] = std::stod(line.substr(space + 1));
        scrape.order.push_back(series);
    }
    return scrape;
}

class MetricsTest : public ::testing::Test {
protected:
    void SetUp() override {
        port = freeTcpPort();
        // A name with the characters the format escapes.
        install.writeServers("[" + install.entry("web", "--role web") + "," +
                             install.entry(R"(odd \"name\\ 2)", "--role odd") + "]");
        install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n[METRICS]\nLISTEN=127.0.0.1:" +
                              std::to_string(port) + "\n");
        install.start();
    }
    Installation install;
    int port = 0;
    const std::string web = R"({name="web",index="1"})";
};

TEST_F(MetricsTest, TheValuesFollowAServerThatIsKilledAndRestarted) {
    Scrape s;
    ASSERT_TRUE(waitFor([&] {
        s = fetch(port);
        return s.ok && s.at("procward_server_up" + web) == 1 && s.at("procward_server_start_time_seconds" + web) > 0 &&
               s.alerts() >= 2;  // the two starts
    }, 15000)) << install.log();
    EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", s.contentType);
    const int first = static_cast<int>(s.at("procward_server_pid" + web));
    EXPECT_TRUE(processAlive(first));
    EXPECT_EQ(1, s.at("procward_server_restarts_total" + web));
    EXPECT_EQ(1, s.at("procward_server_auto_start" + web));
    const double firstStart = s.at("procward_server_start_time_seconds" + web);
    EXPECT_NEAR(static_cast<double>(std::time(nullptr)), firstStart, 120);
    const double alertsBefore = s.alerts();

    killAndWait(first);
    ASSERT_TRUE(waitFor([&] {
        s = fetch(port);
        const double pid = s.at("procward_server_pid" + web);
        // "not working" and "started" once more.
        return s.ok && pid > 0 && pid != first && s.at("procward_server_up" + web) == 1 &&
               s.alerts() >= alertsBefore + 2;
    }, 15000)) << install.log();
    EXPECT_EQ(2, s.at("procward_server_restarts_total" + web));
    EXPECT_TRUE(processAlive(static_cast<int>(s.at("procward_server_pid" + web))));
    EXPECT_GE(s.at("procward_server_start_time_seconds" + web), firstStart);

    // A server the operator stopped is down, and says it stays so.
    ASSERT_EQ(0, install.ctl({"stop", "web"}).code);
    s = fetch(port);
    EXPECT_EQ(0, s.at("procward_server_up" + web));
    EXPECT_EQ(0, s.at("procward_server_pid" + web));
    EXPECT_EQ(0, s.at("procward_server_auto_start" + web));
}

TEST_F(MetricsTest, FamiliesHistogramAndEscapedLabels) {
    Scrape s;
    ASSERT_TRUE(waitFor([&] {
        s = fetch(port);
        return s.ok && s.at("procward_check_duration_seconds_count") >= 2;
    }, 15000)) << install.log();
    EXPECT_EQ("gauge", s.types["procward_server_up"]);
    EXPECT_EQ("counter", s.types["procward_server_restarts_total"]);
    EXPECT_EQ("counter", s.types["procward_alerts_total"]);
    EXPECT_EQ("histogram", s.types["procward_check_duration_seconds"]);
    EXPECT_EQ(1, s.at(R"(procward_build_info{version="1.0"})"));
    // \ and " in a label value are escaped.
    EXPECT_EQ(1, s.at(R"(procward_server_up{name="odd \"name\\ 2",index="2"})"));

    // Buckets in order, never falling, ending in +Inf with the count.
    std::vector<double> buckets;
    for (const std::string& series : s.order)
        if (series.rfind("procward_check_duration_seconds_bucket", 0) == 0) buckets.push_back(s.values[series]);
    ASSERT_EQ(13u, buckets.size());
    for (std::size_t i = 1; i < buckets.size(); ++i) EXPECT_LE(buckets[i - 1], buckets[i]);
    const double count = s.at("procward_check_duration_seconds_count");
    EXPECT_EQ(count, s.at(R"(procward_check_duration_seconds_bucket{le="+Inf"})"));
    EXPECT_GT(s.at("procward_check_duration_seconds_sum"), 0);
    EXPECT_LT(s.at("procward_check_duration_seconds_sum"), count * 5);

    httplib::Client client("127.0.0.1", port);
    const auto missing = client.Get("/nothing");
    ASSERT_TRUE(missing);
    EXPECT_EQ(404, missing->status);
}

TEST(MetricsSettingTest, ABadListenValueIsLoggedAndSupervisionGoesOn) {
    Installation install;
    install.writeServers("[" + install.entry("web", "--role web") + "]");
    install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n[METRICS]\nLISTEN=everywhere\n");
    install.start();
    ASSERT_TRUE(waitFor([&] { return install.serverPids().size() == 1; }, 10000));
    EXPECT_NE(std::string::npos,
              install.log().find("[ERROR]: No metrics: [METRICS] LISTEN=everywhere: \"everywhere\" is not host:port"))
        << install.log();
    EXPECT_EQ(0, install.ctl({"status"}).code);
}

TEST(MetricsSettingTest, OffByDefault) {
    Installation install;
    install.writeServers("[]");
    install.start();
    EXPECT_EQ(0, install.ctl({"status"}).code);
    const std::string log = install.log();
    EXPECT_EQ(std::string::npos, log.find("Metrics")) << log;
}

}  // namespace
