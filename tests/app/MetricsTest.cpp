// /metrics of a running procwardd, fetched over HTTP and parsed.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <sstream>
#include <thread>

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
        return at(R"(procward_alerts_total{channel="mail",result="sent"})") +
               at(R"(procward_alerts_total{channel="mail",result="failed"})") +
               at(R"(procward_alerts_total{channel="mail",result="suppressed"})") +
               at(R"(procward_alerts_total{channel="mail",result="off"})");
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

// A TCP connection to 127.0.0.1:port; -1 when it fails.
int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A client that sends a request two bytes a second, never pausing long
// enough for a time-out on a single read, from a thread of its own, until
// the server closes the connection.
class TricklingClient {
public:
    explicit TricklingClient(int port) : fd_(connectTo(port)) {
        thread_ = std::thread([this] {
            const std::string request = "GET /metrics?" + std::string(4000, 'a');
            for (char c : request) {
                if (stop_ || ::send(fd_, &c, 1, MSG_NOSIGNAL) != 1) break;
                ++sent_;
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 500) > 0) {
                    char buffer[256];
                    if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) break;
                }
            }
            closedByServer_ = !stop_;
        });
    }
    ~TricklingClient() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    bool waitSent(int bytes) { return waitFor([&] { return sent_ >= bytes; }, 15000); }
    bool closedByServer() const { return closedByServer_; }
    bool waitClosedByServer(int ms) { return waitFor([&] { return closedByServer_.load(); }, ms); }

private:
    int fd_;
    std::atomic<int> sent_{0};
    std::atomic<bool> stop_{false}, closedByServer_{false};
    std::thread thread_;
};

class MetricsTest : public ::testing::Test {
protected:
    void SetUp() override {
        port = freeTcpPort();
        // A name with the characters the format escapes.
        install.writeServers("[" + install.entry("web", "--role web") + "," +
                             install.entry(R"(odd \"name\\ 2)", "--role odd") + "," +
                             install.entry(R"(odd \"name\\ 2)", "--role odd-too") + "]");
        install.writeSettings("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n[METRICS]\nLISTEN=127.0.0.1:" +
                              std::to_string(port) + "\n");
        install.start();
    }
    Installation install;
    int port = 0;
    const std::string web = R"({name="web"})";
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
    // Launched once: no restart yet.
    EXPECT_EQ(0, s.at("procward_server_restarts_total" + web));
    EXPECT_EQ(1, s.at("procward_server_launches_total" + web));
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
    EXPECT_EQ(1, s.at("procward_server_restarts_total" + web));
    EXPECT_EQ(2, s.at("procward_server_launches_total" + web));
    EXPECT_TRUE(processAlive(static_cast<int>(s.at("procward_server_pid" + web))));
    EXPECT_GE(s.at("procward_server_start_time_seconds" + web), firstStart);

    // A server the operator stopped is down, and says it stays so.
    ASSERT_EQ(0, install.ctl({"stop", "web"}).code);
    // The scrape reads the status the loop publishes after each round.
    EXPECT_TRUE(waitFor([&] {
        s = fetch(port);
        return s.ok && s.at("procward_server_up" + web) == 0;
    }, 15000));
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
    EXPECT_EQ(1, s.at(R"(procward_server_up{name="odd \"name\\ 2"})"));
    // A series is known by the name alone; a second "odd name" by its rank among
    // the entries of that name, and the list position is in the info series.
    ASSERT_TRUE(waitFor([&] {
        s = fetch(port);
        return s.ok && s.at(R"x(procward_server_up{name="odd \"name\\ 2 (2)"})x") == 1;
    }, 15000)) << install.log();
    EXPECT_EQ(1, s.at(R"x(procward_server_info{name="odd \"name\\ 2",index="2",processname="procward-testserver"})x"));
    EXPECT_EQ(1, s.at(R"x(procward_server_info{name="odd \"name\\ 2 (2)",index="3",processname="procward-testserver"})x"));
    for (const std::string& series : s.order) {
        if (series.rfind("procward_server_info", 0) != 0) {
            EXPECT_EQ(std::string::npos, series.find("index=")) << series;
        }
    }

    // procwardd's own process.
    EXPECT_EQ("counter", s.types["process_cpu_seconds_total"]);
    EXPECT_GT(s.at("process_resident_memory_bytes"), 1e6);
    EXPECT_GT(s.at("process_open_fds"), 3);
    EXPECT_GE(s.at("process_max_fds"), s.at("process_open_fds"));
    EXPECT_NEAR(static_cast<double>(std::time(nullptr)), s.at("process_start_time_seconds"), 300);

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

TEST_F(MetricsTest, ASlowClientHoldsUpNeitherAnotherScrapeNorTheEnd) {
    ASSERT_TRUE(waitFor([&] { return fetch(port).ok; }, 15000)) << install.log();
    {
        TricklingClient slow(port);
        ASSERT_TRUE(slow.waitSent(3));
        // Answered while the slow client is still being served.
        EXPECT_TRUE(fetch(port).ok);
        EXPECT_FALSE(slow.closedByServer());
        // Cut off by the limit on the whole request, though no single read
        // ever waits long: without that limit it would take half an hour.
        EXPECT_TRUE(slow.waitClosedByServer(60000));
    }
    TricklingClient slow(port);
    ASSERT_TRUE(slow.waitSent(3));
    const auto connected = std::chrono::steady_clock::now();
    install.process->signal(SIGTERM);
    ASSERT_NE(-1, install.process->wait(30000));
    install.process.reset();
    // The end came before the slow client's ten seconds were up: it did not
    // wait for them.
    EXPECT_LT(std::chrono::steady_clock::now() - connected, std::chrono::seconds(10));
    EXPECT_NE(std::string::npos, install.log().find("Procward exiting: SIGTERM")) << install.log();
}

TEST_F(MetricsTest, ConnectionsBeyondTheLimitAreTurnedAwayUntilTheOthersTimeOut) {
    ASSERT_TRUE(waitFor([&] { return fetch(port).ok; }, 15000)) << install.log();
    // Forty clients that connect and say nothing.
    std::vector<int> idle;
    for (int i = 0; i < 40; ++i) idle.push_back(connectTo(port));
    ASSERT_EQ(0, std::count(idle.begin(), idle.end(), -1));
    std::set<int> refused;
    waitFor([&] {
        for (int fd : idle) {
            char buffer[512];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0 && std::string(buffer, static_cast<std::size_t>(n)).rfind("HTTP/1.1 503 ", 0) == 0)
                refused.insert(fd);
        }
        return refused.size() >= 8;
    }, 15000);
    // At most 32 are kept; the rest were told at once.
    EXPECT_GE(refused.size(), 8u);
    // Once the silent ones have used up their time, scrapes are served again.
    EXPECT_TRUE(waitFor([&] { return fetch(port).ok; }, 30000));
    for (int fd : idle) ::close(fd);
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
    // Answered, and 0 once the server counts as running.
    EXPECT_TRUE(waitFor([&] { return install.ctl({"status"}).code == 0; }, 15000));
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
