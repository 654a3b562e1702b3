// /metrics on Windows, end to end: procwardd.exe with [METRICS] LISTEN in
// its procward.ini loads procward-metrics.dll from beside itself and serves
// the Prometheus text over a real loopback socket; what it serves is read
// here with plain Windows Sockets and compared with the server it runs.
#include <winsock2.h>
#include <windows.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "tests/support/TempDir.h"
#include "tests/win32/support/WinDaemon.h"
#include "tests/win32/support/WinTestServer.h"
#include "tests/win32/support/WinTestText.h"

namespace {

// A TCP connection to 127.0.0.1:port whose receives give up after `ms`;
// INVALID_SOCKET when it is refused.
SOCKET connectTo(int port, DWORD ms) {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

bool sendAll(SOCKET s, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const int n = ::send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// One HTTP answer as it came over the wire.
struct Answer {
    bool whole = false;  // a status line, the headers and Content-Length bytes of body
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// GET `path` on 127.0.0.1:port, read to the end of the connection.
Answer get(int port, const std::string& path) {
    WinsockSession winsock;
    Answer answer;
    const SOCKET s = connectTo(port, 10000);
    if (s == INVALID_SOCKET) return answer;
    std::string raw;
    if (sendAll(s, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                       "\r\nConnection: close\r\n\r\n")) {
        char buffer[4096];
        for (int n; (n = ::recv(s, buffer, sizeof buffer, 0)) > 0;) raw.append(buffer, static_cast<std::size_t>(n));
    }
    ::closesocket(s);

    const std::size_t end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return answer;
    answer.status = std::atoi(raw.c_str() + 9);
    std::istringstream lines(raw.substr(0, end));
    std::string line;
    std::getline(lines, line);  // the status line
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        answer.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
    }
    answer.body = raw.substr(end + 4);
    const auto length = answer.headers.find("content-length");
    answer.whole = length != answer.headers.end() && std::to_string(answer.body.size()) == length->second;
    return answer;
}

// The samples of a scrape (series with its labels, to the value) and the
// families' TYPE lines.
struct Scrape {
    std::map<std::string, double> values;
    std::map<std::string, std::string> types;
    double at(const std::string& series) const {
        const auto found = values.find(series);
        return found == values.end() ? -1 : found->second;
    }
};

Scrape parse(const std::string& body) {
    Scrape scrape;
    std::istringstream lines(body);
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
        if (space == std::string::npos) continue;
        scrape.values[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return scrape;
}

void terminate(int pid) {
    if (const HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid))) {
        ::TerminateProcess(process, 1);
        ::WaitForSingleObject(process, 5000);
        ::CloseHandle(process);
    }
}

class Win32MetricsTest : public ::testing::Test {
protected:
    Win32MetricsTest() : daemon(dir) {}

    void SetUp() override {
        const std::string server = WinTestServer::copyProgram(dir, "metsrv.exe");
        daemon.endAlso("metsrv.exe");
        const std::string command = jsonEscaped(server + " --role metrics");
        writeFile(dir.path() + "\\serverinfo.json",
                  "[{\"name\":\"gs-metrics\",\"processname\":\"metsrv.exe\",\"commandline\":\"" + command + "\"}]");
        port = freePort();
        ASSERT_NE(0, port);
    }

    // The module beside the daemon's copy, where an installation has it.
    void placeModule() {
        ASSERT_TRUE(::CopyFileA((testProgramDirectory() + "\\procward-metrics.dll").c_str(),
                                (dir.path() + "\\procward-metrics.dll").c_str(), FALSE));
    }

    void writeSettings(const std::string& listen) {
        const std::string general = "[GENERAL]\r\nCHECK_SVR_STATUS_INTERVAL=1\r\nSTART_CONFIRM_SECONDS=0\r\nSTOP_TIMEOUT=0\r\n";
        writeFile(dir.path() + "\\procward.ini", general + "[METRICS]\r\nLISTEN=" + listen + "\r\n");
    }

    bool logHas(const std::string& text, DWORD ms = 60000) const {
        return eventually([&] { return daemon.log().find(text) != std::string::npos; }, ms);
    }

    // Waits until a scrape shows the server up with the process ID it
    // really has; that scrape and its answer go to the arguments.
    bool scrapeShowsTheServerRunning(Answer& answer, Scrape& scrape, int& pid) {
        return eventually(
            [&] {
                pid = pidOfProgram("metsrv.exe");
                answer = get(port, "/metrics");
                scrape = parse(answer.body);
                return pid != 0 && answer.whole && answer.status == 200 && scrape.at(up) == 1 &&
                       scrape.at("procward_server_pid" + labels) == pid;
            },
            60000);
    }

    TempDir dir;
    WinDaemon daemon;
    int port = 0;
    const std::string labels = R"({name="gs-metrics"})";
    const std::string up = "procward_server_up" + labels;
};

}  // namespace

TEST_F(Win32MetricsTest, TheScrapeFollowsTheRunningServerAndOtherPathsAreNotMetrics) {
    placeModule();
    writeSettings("127.0.0.1:" + std::to_string(port));
    ASSERT_TRUE(daemon.start());
    Answer answer;
    Scrape scrape;
    int first = 0;
    ASSERT_TRUE(scrapeShowsTheServerRunning(answer, scrape, first)) << answer.status << "\n"
                                                                    << answer.body << daemon.log();
    EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", answer.headers["content-type"]);
    EXPECT_EQ("gauge", scrape.types["procward_server_up"]);
    EXPECT_EQ("counter", scrape.types["procward_server_restarts_total"]);
    EXPECT_EQ(0, scrape.at("procward_server_restarts_total" + labels));
    EXPECT_EQ(1, scrape.at("procward_server_auto_start" + labels));

    const Answer missing = get(port, "/nothing");
    EXPECT_TRUE(missing.whole);
    EXPECT_EQ(404, missing.status);
    const Answer root = get(port, "/");
    EXPECT_EQ(200, root.status);
    EXPECT_NE(std::string::npos, root.body.find("the metrics are at /metrics")) << root.body;

    // Killed, the server is started again, and the next scrapes say so.
    terminate(first);
    int second = 0;
    ASSERT_TRUE(
        eventually([&] { return scrapeShowsTheServerRunning(answer, scrape, second) && second != first; }, 60000))
        << answer.body << daemon.log();
    EXPECT_EQ(1, scrape.at("procward_server_restarts_total" + labels));

    const std::string log = daemon.log();
    EXPECT_NE(std::string::npos, log.find("Metrics: http://127.0.0.1:" + std::to_string(port) + "/metrics")) << log;
    EXPECT_EQ(std::string::npos, log.find("which other machines may reach")) << log;
}

TEST_F(Win32MetricsTest, AnAddressOtherMachinesMayReachIsServedWithAWarning) {
    placeModule();
    const std::string listen = "0.0.0.0:" + std::to_string(port);
    writeSettings(listen);
    ASSERT_TRUE(daemon.start());
    Answer answer;
    Scrape scrape;
    int pid = 0;
    ASSERT_TRUE(scrapeShowsTheServerRunning(answer, scrape, pid)) << answer.body << daemon.log();
    EXPECT_TRUE(logHas("[WARNING]: The metrics listen on " + listen + ", which other machines may reach"))
        << daemon.log();
}

TEST_F(Win32MetricsTest, WithoutTheModuleBesideTheProgramSupervisionGoesOnWithoutMetrics) {
    const std::string listen = "127.0.0.1:" + std::to_string(port);
    writeSettings(listen);
    ASSERT_TRUE(daemon.start());
    EXPECT_TRUE(logHas("[ERROR]: No metrics: [METRICS] LISTEN=" + listen + ": the metrics module " + dir.path() +
                       "\\procward-metrics.dll is missing"))
        << daemon.log();
    ASSERT_TRUE(eventually([&] { return pidOfProgram("metsrv.exe") != 0; }, 60000)) << daemon.log();
    // 0 once the server counts as running (3 until then).
    EXPECT_TRUE(eventually([&] { return daemon.ctl("status").code == 0; }, 30000));
    EXPECT_FALSE(acceptsConnections(port));
}

TEST_F(Win32MetricsTest, APortTakenByAnotherProgramIsLoggedWithTheSystemsReason) {
    placeModule();
    WinsockSession winsock;
    const SOCKET taken = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    ASSERT_EQ(0, ::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, ::listen(taken, 1));

    const std::string listen = "127.0.0.1:" + std::to_string(port);
    writeSettings(listen);
    ASSERT_TRUE(daemon.start());
    const std::string line = "[ERROR]: No metrics: [METRICS] LISTEN=" + listen + ": cannot listen on " + listen + ": ";
    EXPECT_TRUE(logHas(line)) << daemon.log();
    // The system's words for the port in use follow, whatever the language.
    const std::string log = daemon.log();
    const std::size_t at = log.find(line);
    if (at != std::string::npos) {
        const std::string reason = log.substr(at + line.size(), log.find('\r', at) - at - line.size());
        EXPECT_FALSE(reason.empty()) << log;
    }
    ASSERT_TRUE(eventually([&] { return pidOfProgram("metsrv.exe") != 0; }, 60000)) << daemon.log();
    // 0 once the server counts as running (3 until then).
    EXPECT_TRUE(eventually([&] { return daemon.ctl("status").code == 0; }, 30000));
    ::closesocket(taken);
}

namespace {

bool serviceRegistered(const char* name) {
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return false;
    SC_HANDLE service = ::OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    if (service) ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    return service != nullptr;
}

// The supervisor as a service: the one way Wine gives to end it in order
// (it drops console control events).
class Win32MetricsServiceTest : public Win32MetricsTest {
protected:
    void SetUp() override {
        Win32MetricsTest::SetUp();
        service("uninstall");  // one left by an earlier run that did not end
    }
    void TearDown() override {
        service("uninstall");
        // A service whose stop never ended is only marked for removal, and
        // would start again with the next session and meet the next tests:
        // its process is ended and the service removed for good.
        if (serviceRegistered("Procward")) {
            for (int pid = pidOfProgram("procwardd.exe"), tries = 0; pid != 0 && tries < 20;
                 pid = pidOfProgram("procwardd.exe"), ++tries)
                terminate(pid);
            service("uninstall");
        }
    }
    FinishedRun service(const std::string& action) const { return daemon.run("service " + action); }
};

}  // namespace

TEST_F(Win32MetricsServiceTest, TheServiceStopsInOrderWhileAClientHoldsAConnection) {
    placeModule();
    writeSettings("127.0.0.1:" + std::to_string(port));
    ASSERT_EQ(0u, service("install --config-dir \"" + dir.path() + "\"").code);
    const FinishedRun start = service("start");
    ASSERT_EQ(0u, start.code) << start.out << daemon.log();
    Answer answer;
    Scrape scrape;
    int pid = 0;
    ASSERT_TRUE(scrapeShowsTheServerRunning(answer, scrape, pid)) << answer.body << daemon.log();

    // Half a request, then silence: an exchange under way when the end comes.
    WinsockSession winsock;
    const SOCKET idle = connectTo(port, 60000);
    ASSERT_NE(INVALID_SOCKET, idle);
    ASSERT_TRUE(sendAll(idle, "GET /metr"));

    const FinishedRun stop = service("stop");
    EXPECT_EQ(0u, stop.code) << stop.out << daemon.log();
    EXPECT_TRUE(logHas("Procward exiting: service stop")) << daemon.log();
    // The connection was ended by the server, not left to the client.
    char byte = 0;
    const int n = ::recv(idle, &byte, 1, 0);
    const int error = n < 0 ? ::WSAGetLastError() : 0;
    EXPECT_TRUE(n == 0 || (n < 0 && error != WSAETIMEDOUT)) << n << " " << error;
    ::closesocket(idle);
    EXPECT_FALSE(acceptsConnections(port));
    // Its server keeps running, as with any stop of the service.
    EXPECT_TRUE(processRuns(pid));
}
