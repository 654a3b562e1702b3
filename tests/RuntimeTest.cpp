// The supervisor's changes of the server list through the file, and the
// runtime's change of the settings, with real processes and real files.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "app/core/Runtime.h"
#include "app/core/ServerListStore.h"
#include "config/AppDirectories.h"
#include "config/ServerList.h"
#include "config/SettingsFile.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/SupervisionFixture.h"
#include "tests/support/TodaysLog.h"

namespace {

class ListChangeTest : public SupervisionFixture {
protected:
    // A serverinfo.json element for an entry of this test.
    std::string element(const std::string& name, const std::string& arguments) const {
        const ServerEntry e = entry(0, name, arguments);
        return R"({"name":")" + e.name + R"(","processname":")" + e.processname + R"(","commandline":")" +
               e.commandline + R"("})";
    }
    // The supervisor on the list `json`, editing it through the file.
    void open(const std::string& json) {
        writeFile(path, json);
        make();
        supervisor->setEntryStore(&store);
        supervisor->reload();
    }
    std::string file() const { return readFile(path); }

    std::string path = dir.file("serverinfo.json");
    ServerList list{path};
    ServerListStore store{list};
};

TEST_F(ListChangeTest, ARemoveWaitsForTheProcessThenRewritesTheListAndKeepsTheOthersRunning) {
    options.stopTimeout = 10s;
    const std::string a = element("A", "--term-delay 300 --role a"), b = element("B", "--role b");
    open("[" + a + "," + b + "]");
    const int first = record(1).info().pid, second = record(2).info().pid;
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);

    std::optional<CommandResult> result;
    supervisor->remove(1, [&](const CommandResult& r) { result = r; });
    // The process takes its time to end: the list waits for it.
    EXPECT_FALSE(result.has_value());
    EXPECT_TRUE(record(1).stopping());
    EXPECT_EQ("[" + a + "," + b + "]", file());

    ASSERT_TRUE(followUntil([&] { return result.has_value(); }));
    EXPECT_EQ(CommandStatus::Done, result->status);
    EXPECT_EQ("A", result->name);
    EXPECT_FALSE(processAlive(first));
    EXPECT_EQ("[" + b + "]", file());
    ASSERT_EQ(1u, supervisor->servers().size());
    // B moved to index 1 with its process: the reload kept its state.
    EXPECT_EQ("B", record(1).info().name);
    EXPECT_EQ(second, record(1).info().pid);
    EXPECT_EQ(1u, count(log(), "Disabled autoStart mode for A"));
}

TEST_F(ListChangeTest, AReplacedCommandLineStartsOnceTheOldProcessHasGone) {
    open("[" + element("A", "--role old") + "]");
    const int old = record(1).info().pid;
    ASSERT_GT(old, 0);

    // A new name alone: the server keeps running; blanks around the texts
    // are not stored.
    ServerEntry renamed = entry(0, "  A2 ", "--role old");
    auto result = await([&](CommandDone done) { supervisor->replace(1, renamed, done); });
    ASSERT_TRUE(result);
    EXPECT_EQ(CommandStatus::Done, result->status);
    EXPECT_EQ("[" + element("A2", "--role old") + "]", file());
    EXPECT_EQ(old, record(1).info().pid);
    EXPECT_TRUE(processAlive(old));

    // A new command line: the old process ends first, then the new one runs.
    result = await([&](CommandDone done) { supervisor->replace(1, entry(0, "A2", "--role new"), done); });
    ASSERT_TRUE(result);
    EXPECT_EQ(CommandStatus::Done, result->status);
    EXPECT_FALSE(processAlive(old));
    EXPECT_EQ("[" + element("A2", "--role new") + "]", file());
    EXPECT_GT(record(1).info().pid, 0);
    EXPECT_EQ(1, running({"--role", "new"}));
    EXPECT_EQ(0, running({"--role", "old"}));
    EXPECT_TRUE(record(1).autoStart());
    // A restart on purpose is no outage.
    EXPECT_TRUE(alerts.messages(AlertKind::ServerDown).empty());
}

TEST_F(ListChangeTest, AReplacedHealthRuleTakesEffectWithoutARestart) {
    const std::string a = element("A", "--role health");
    open("[" + a.substr(0, a.size() - 1) + R"(,"health":{"exec":"/bin/true","grace":0,"keep":1}})" + "]");
    const int pid = record(1).info().pid;
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(record(1).options().health);
    EXPECT_EQ(HealthProbe::exec, record(1).options().health->probe);

    const ServerEntry same = entry(0, "A", "--role health");
    auto result = await([&](CommandDone done) {
        supervisor->replace(1, same, done, HealthCheckEdit{HealthProbe::tcp, "127.0.0.1:1", 30s, 2});
    });
    ASSERT_TRUE(result);
    EXPECT_EQ(CommandStatus::Done, result->status);
    ASSERT_TRUE(record(1).options().health);
    EXPECT_EQ(HealthProbe::tcp, record(1).options().health->probe);
    EXPECT_EQ(1, record(1).options().health->port);
    EXPECT_EQ(30s, record(1).options().health->interval);
    EXPECT_EQ(0ms, record(1).options().health->grace);
    EXPECT_EQ(pid, record(1).info().pid);
    EXPECT_NE(std::string::npos, file().find(R"("keep":1)")) << file();

    // Without a health edit the rule is left as the file has it.
    result = await([&](CommandDone done) { supervisor->replace(1, entry(0, "A2", "--role health"), done); });
    ASSERT_TRUE(result);
    EXPECT_EQ(HealthProbe::tcp, record(1).options().health->probe);
    EXPECT_EQ("A2", record(1).info().name);
}

TEST_F(ListChangeTest, AddStartsTheNewServerAndRemoveAllStopsEveryOneAndEmptiesTheList) {
    open("[" + element("A", "--role a") + "]");
    const int a = record(1).info().pid;
    auto result = await([&](CommandDone done) { supervisor->add(entry(0, "B", "--role b"), done); });
    ASSERT_TRUE(result);
    EXPECT_EQ(CommandStatus::Done, result->status);
    EXPECT_EQ("[" + element("A", "--role a") + "," + element("B", "--role b") + "]", file());
    EXPECT_EQ(a, record(1).info().pid);
    const int b = record(2).info().pid;
    EXPECT_GT(b, 0);

    result = await([&](CommandDone done) { supervisor->removeAll(done); });
    ASSERT_TRUE(result);
    EXPECT_EQ(CommandStatus::Done, result->status);
    EXPECT_EQ("[]", file());
    EXPECT_TRUE(supervisor->servers().empty());
    EXPECT_FALSE(processAlive(a));
    EXPECT_FALSE(processAlive(b));
}

TEST_F(ListChangeTest, AListThatCannotBeWrittenSaysWhyAndTheSupervisorKeepsWhatTheFileHolds) {
    const std::string before = "[" + element("A", "--role a") + "]";
    open(before);
    std::optional<CommandResult> result;
    {
        FileSizeLimit limit(before.size() + 10);
        supervisor->add(entry(0, "B", "--role b"), [&](const CommandResult& r) { result = r; });
    }
    ASSERT_TRUE(result);
    EXPECT_EQ(CommandStatus::SaveFailed, result->status);
    EXPECT_EQ(path + " could not be written (" + std::strerror(EFBIG) + "); it was left as it was", result->error);
    EXPECT_EQ(before, file());
    EXPECT_EQ(1u, supervisor->servers().size());
    EXPECT_EQ(0, running({"--role", "b"}));
    // Once the disk has room again, the next change goes through.
    supervisor->add(entry(0, "C", "--role c"), {});
    EXPECT_NE(std::string::npos, file().find("\"C\""));
    EXPECT_EQ(2u, supervisor->servers().size());
}

TEST_F(ListChangeTest, AListInADirectoryTheUserMayNotWriteIsNotSavedAndSaysWhyOnStandardError) {
    // Root may write anywhere: the store runs in a child as nobody, against
    // a list that only root may write, and complains into a pipe.
    const std::string before = "[" + element("A", "--role a") + "]";
    writeFile(path, before);
    ASSERT_EQ(0, ::chmod(path.c_str(), 0644));
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0755));
    int channel[2];
    ASSERT_EQ(0, ::pipe(channel));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(channel[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        std::FILE* complaints = ::fdopen(channel[1], "w");
        ServerList nobodysList(path);
        ServerListStore nobodysStore(nobodysList, complaints);
        nobodysStore.read();
        std::string error;
        const bool saved = nobodysStore.add(entry(0, "B", "--role b"), error);
        std::fclose(complaints);
        ::_exit(saved ? 0 : 1);
    }
    ::close(channel[1]);
    std::string complaint;
    char buffer[512];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;)
        complaint.append(buffer, static_cast<std::size_t>(n));
    ::close(channel[0]);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(1, WEXITSTATUS(status)) << complaint;
    EXPECT_EQ(0u, complaint.rfind("serverinfo.json could not be saved: " + path, 0)) << complaint;
    EXPECT_NE(std::string::npos, complaint.find(std::strerror(EACCES))) << complaint;
    EXPECT_EQ(before, file());
}

TEST_F(ListChangeTest, ACommandForAServerThatIsNotThereSaysSo) {
    open("[" + element("A", "--role a") + "]");
    for (auto command : std::vector<std::function<void(CommandDone)>>{
             [&](CommandDone done) { supervisor->start(7, done); },
             [&](CommandDone done) { supervisor->stop(7, done); },
             [&](CommandDone done) { supervisor->restart(7, done); },
             [&](CommandDone done) { supervisor->remove(7, done); },
             [&](CommandDone done) { supervisor->replace(7, entry(0, "X", "--role x"), done); }}) {
        const auto result = await(command);
        ASSERT_TRUE(result);
        EXPECT_EQ(CommandStatus::NoSuchServer, result->status);
    }
    EXPECT_EQ("[" + element("A", "--role a") + "]", file());
}

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(dir.file("logs").c_str(), 0777);
        AppLogger::Instance().Init();
        AppDirectories::setConfigDirectory(dir.path());
        writeFile(dir.file("serverinfo.json"), "[]");
    }
    void TearDown() override { AppDirectories::setConfigDirectory(""); }

    TempDir dir;
    ScopedWorkingDirectory cwd{dir.path()};
};

TEST_F(RuntimeTest, NewSettingsAreWrittenThenHandedToTheSupervisorAndTheMail) {
    writeFile(dir.file("procward.ini"),
              "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=0\nSTOP_TIMEOUT=7\n[METRICS]\nLISTEN=127.0.0.1:1\n");
    Runtime runtime([] {});
    EXPECT_EQ(7, runtime.settings().general.stopTimeout);
    EXPECT_EQ(std::chrono::seconds(7), runtime.supervisor().options().stopTimeout);
    // The loader's warnings are logged.
    EXPECT_NE(std::string::npos, readFile(todaysLogFile()).find("[WARNING]: CHECK_SVR_STATUS_INTERVAL=0 in " +
                                                                dir.file("procward.ini") + " is below 1 second"));

    Settings next = runtime.settings();
    next.general.checkInterval = 9;
    next.general.stopTimeout = 2;
    next.general.restartBackoffMax = 60;
    next.mail.smtpServer = "mx.example.test";
    next.mail.minAlertInterval = 30;
    std::string error;
    ASSERT_TRUE(runtime.changeSettings(next, error)) << error;
    EXPECT_EQ(next, runtime.settings());
    EXPECT_EQ(std::chrono::seconds(2), runtime.supervisor().options().stopTimeout);
    EXPECT_EQ(std::chrono::seconds(60), runtime.supervisor().options().restartBackoffMax);
    EXPECT_EQ(std::chrono::seconds(1), runtime.supervisor().options().checkInterval);  // from the next start on
    EXPECT_EQ(next.mail, runtime.mailSink().settings());
    std::vector<std::string> warnings;
    EXPECT_EQ(next, LoadSettings(dir.file("procward.ini"), warnings));  // [METRICS] stayed in the file

    // A file that cannot be written changes nothing.
    const std::string written = readFile(dir.file("procward.ini"));
    Settings bigger = next;
    bigger.general.stopTimeout = 5;
    bigger.mail.smtpServer = std::string(200, 'x');
    {
        FileSizeLimit limit(written.size() + 10);
        EXPECT_FALSE(runtime.changeSettings(bigger, error));
    }
    EXPECT_EQ(dir.file("procward.ini") + ": " + std::strerror(EFBIG), error);
    EXPECT_EQ(written, readFile(dir.file("procward.ini")));
    EXPECT_EQ(next, runtime.settings());
    EXPECT_EQ(std::chrono::seconds(2), runtime.supervisor().options().stopTimeout);
    EXPECT_EQ(next.mail, runtime.mailSink().settings());
}

TEST_F(RuntimeTest, TheServerListIsReadFromTheConfigurationDirectoryNotTheWorkingDirectory) {
    const std::string program = copyTestServer(dir.file("procward-testserver"));
    TempDir elsewhere;
    ScopedWorkingDirectory away(elsewhere.path());
    writeFile(elsewhere.file("serverinfo.json"), "[]");
    writeFile(dir.file("serverinfo.json"),
              R"([{"name":"web","processname":"procward-testserver","commandline":")" + program + R"( --role cfg"}])");
    int pid = 0;
    {
        ScopedEnvironment runtimeDirectory("XDG_RUNTIME_DIR", dir.path());
        Runtime runtime([] {});
        runtime.start();
        ASSERT_EQ(1u, runtime.supervisor().servers().size());
        pid = runtime.supervisor().find(1)->info().pid;
        EXPECT_GT(pid, 0);
        EXPECT_EQ(dir.file("serverinfo.json"), runtime.serverList().path());
        runtime.stop("the test");
    }
    killAndWait(pid);
}

}  // namespace
