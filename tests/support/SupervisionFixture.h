#pragma once
// A supervisor on the test's own clock, with a real exit watcher and real
// processes; its alerts are recorded.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log/AppLogger.h"
#include "platform/ProcessTable.h"
#include "supervision/Supervisor.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordingAlertSink.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

using namespace std::chrono_literals;

inline const std::string kNotWorking = ": service not working，it will be restarted right away!";
inline const std::string kAlertSubject = "26300 告警邮件";

// Starts through the machine's launcher and returns only once the program
// has ended again: a server that "exits at once" without racing the check.
class ExitingLauncher : public platform::ProcessControl {
public:
    bool launch(const std::string& commandLine, int& pid, int& error) override {
        return platform::processControl().launch(commandLine, pid, error);
    }
    std::unique_ptr<platform::ProcessHandle> start(const platform::LaunchRequest& request,
                                                   platform::LaunchFailure& failure) override {
        auto process = platform::processControl().start(request, failure);
        if (process) waitFor([&] { return process->exited(); });
        return process;
    }
    int reapChildren() override { return platform::processControl().reapChildren(); }
    std::unique_ptr<platform::ProcessHandle> open(int pid) override { return platform::processControl().open(pid); }
    platform::TerminateResult terminate(int pid) override { return platform::processControl().terminate(pid); }
    void closeConsoleHost(int) override {}
};

// Each test logs into its own directory and records the alerts the
// supervisor raises. Time is the test's clock; real waits are only for real
// processes to act.
class SupervisionFixture : public ::testing::Test, public SupervisorObserver {
protected:
    void SetUp() override {
        ::mkdir(dir.file("logs").c_str(), 0777);
        AppLogger::Instance().Init();
        options.checkInterval = 1s;
    }
    void TearDown() override {
        if (supervisor)
            for (const auto& [index, server] : supervisor->servers()) launched.push_back(server->info().pid);
        supervisor.reset();
        for (int pid : launched) killAndWait(pid);
        // Whatever else runs this test's own copy of the program, or a
        // script of its folder, is the test's too: a daemon whose starter was
        // stopped before its pidfile named it, a starter still on its way.
        // Swept until a sweep finds none, as a starter killed in one may
        // have forked just before.
        std::error_code error;
        const std::string own = std::filesystem::canonical(program, error).string();
        const std::string folder = std::filesystem::canonical(dir.path(), error).string() + "/";
        const auto inFolder = [&](const std::string& path) {
            return path.rfind(folder, 0) == 0 || path.rfind(dir.path() + "/", 0) == 0;
        };
        for (int sweep = 0; sweep < 10 && !own.empty(); ++sweep) {
            platform::ProcessSnapshot snapshot;
            platform::processTable().snapshot(snapshot);
            bool found = false;
            for (const auto& e : snapshot) {
                if (e.pid == ::getpid()) continue;
                std::vector<std::string> words;
                bool ours = e.exePath == own;
                if (!ours && platform::processTable().argumentWords(e.pid, words))
                    ours = std::any_of(words.begin(), words.end(), inFolder);
                if (ours) {
                    killAndWait(e.pid);
                    found = true;
                }
            }
            if (!found) break;
        }
        // They were this process's children: none is left a zombie.
        platform::processControl().reapChildren();
    }

    void serverChanged(const MonitoredServer& server) override { ++changes[server.info().index]; }

    Supervisor& make(platform::ProcessControl& control = platform::processControl()) {
        supervisor = std::make_unique<Supervisor>(clock, control, options);
        supervisor->addObserver(this);
        supervisor->addAlertSink(&alerts);
        watching = supervisor->watchExits([this] {
            std::lock_guard<std::mutex> lock(wakeMutex);
            ++wakes;
            wakeCondition.notify_all();
        });
        return *supervisor;
    }
    // Waits (in real time) until the exit watcher has woken the loop.
    bool waitForWake(int already) {
        std::unique_lock<std::mutex> lock(wakeMutex);
        return wakeCondition.wait_for(lock, 5s, [&] { return wakes > already; });
    }
    int wakeCount() {
        std::lock_guard<std::mutex> lock(wakeMutex);
        return wakes;
    }
    // Lets the loop follow stops under way (the rest of a process group is
    // looked at every 50 ms) until `done`, in short steps of the clock.
    template <class F>
    bool followUntil(F done) {
        return waitFor([&] {
            clock.advance(10ms);
            supervisor->runDue();
            return done();
        });
    }
    // Moves the clock to the next tick and runs what is due.
    void tick() {
        clock.advance(options.checkInterval);
        supervisor->runDue();
    }

    // An entry of this test: its program is the test's own copy of the test
    // server, so that processes of tests running at the same time never match.
    ServerEntry entry(std::int32_t index, const std::string& name, const std::string& arguments) const {
        return entry(index, name, arguments, program);
    }
    static ServerEntry entry(std::int32_t index, const std::string& name, const std::string& arguments,
                             const std::string& program) {
        return ServerEntry{index, name, std::filesystem::path(program).filename().string(),
                           program + (arguments.empty() ? "" : " " + arguments)};
    }
    const MonitoredServer& record(std::int32_t index) { return *supervisor->find(index); }
    // Runs a command and the loop until its callback has come; its result.
    template <class Command>
    std::optional<CommandResult> await(Command command) {
        std::optional<CommandResult> result;
        command([&](const CommandResult& r) { result = r; });
        if (!result) followUntil([&] { return result.has_value(); });
        return result;
    }

    std::string log() const {
        for (const auto& entry : std::filesystem::directory_iterator(dir.file("logs")))
            if (entry.is_regular_file()) return readFile(entry.path());
        return {};
    }
    static std::size_t count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
    // The alerts that would be mailed: every kind but a failed launch.
    std::vector<std::string> mailedAlerts() const {
        std::vector<std::string> texts;
        for (const AlertEvent& event : alerts.events) {
            EXPECT_EQ(kAlertSubject, event.subject);
            if (event.kind != AlertKind::StartFailed) texts.push_back(event.message);
        }
        return texts;
    }
    bool noAlerts() const { return mailedAlerts().empty(); }
    // Processes running this test's program with exactly these arguments.
    int running(const std::vector<std::string>& arguments) { return static_cast<int>(matching(arguments).size()); }
    // Of those, the ones that ignore SIGTERM by now (SigIgn in /proc).
    int ignoringTerm(const std::vector<std::string>& arguments) {
        int n = 0;
        for (const int pid : matching(arguments)) {
            std::ifstream status("/proc/" + std::to_string(pid) + "/status");
            for (std::string line; std::getline(status, line);)
                if (line.rfind("SigIgn:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1) ++n;
        }
        return n;
    }
    // The test program's processes whose arguments are `arguments`.
    std::vector<int> matching(const std::vector<std::string>& arguments) {
        platform::ProcessSnapshot snapshot;
        platform::processTable().snapshot(snapshot);
        std::vector<int> pids;
        for (const auto& e : snapshot) {
            std::vector<std::string> words;
            if (e.exePath == std::filesystem::canonical(program).string() &&
                platform::processTable().argumentWords(e.pid, words) && words == arguments)
                pids.push_back(e.pid);
        }
        return pids;
    }

    TempDir dir;
    ScopedWorkingDirectory cwd{dir.path()};
    RecordingAlertSink alerts;
    const std::string program = copyTestServer(dir.file("procward-testserver"));
    ManualClock clock;
    SupervisionOptions options;
    std::unique_ptr<Supervisor> supervisor;
    bool watching = false;
    std::map<std::int32_t, int> changes;
    std::vector<int> launched;
    std::mutex wakeMutex;
    std::condition_variable wakeCondition;
    int wakes = 0;
};

