// --config-dir and --log-dir of both executables, and the removal of old
// daily logs, with real programs in real directories.
#include <sys/stat.h>
#include <sys/wait.h>

#include <ctime>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/app/Installation.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

namespace {

struct Outcome {
    int code = -1;
    std::string output;
};

// Runs a program that is expected to end by itself.
Outcome runToEnd(const std::string& program, const std::vector<std::string>& args) {
    ChildProcess child(program, args, "/");
    const int status = child.wait(30000);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, child.output()};
}

std::string logNameOf(int daysAgo) {
    const std::time_t t = std::time(nullptr) - static_cast<std::time_t>(daysAgo) * 86400;
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "procwardd_%Y%m%d.log", &local);
    return text;
}

TEST(DirectoriesTest, ServersSettingsAndLogsComeFromTheGivenDirectories) {
    Installation install;
    TempDir config;
    TempDir logs;
    writeFile(config.file("serverinfo.json"), "[" + install.entry("web", "--role web") + "]");
    writeFile(config.file("procward.ini"), "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    // Files beside the executable that must not be read.
    install.writeServers("[" + install.entry("beside", "--role beside") + "]");
    install.setLogDirectory(logs.path());

    install.start({"--config-dir", config.path(), "--log-dir=" + logs.path()});
    ASSERT_TRUE(waitFor([&] { return install.serverPids().size() == 1; }, 15000)) << install.process->output();
    const std::string status = install.ctl({"status"}).output;
    EXPECT_NE(std::string::npos, status.find("web")) << status;
    EXPECT_EQ(std::string::npos, status.find("beside")) << status;
    EXPECT_NE(std::string::npos, install.log().find("web")) << "no log in " << logs.path();
    EXPECT_FALSE(std::filesystem::exists(install.dir.file("logs")));
}

TEST(DirectoriesTest, AMissingDirectoryEndsEitherProgramWithCodeOneBeforeSupervising) {
    for (const char* program : {PROCWARDD_EXECUTABLE, PROCWARD_EXECUTABLE}) {
        SCOPED_TRACE(program);
        Installation install(program);
        install.writeServers("[" + install.entry("web", "--role web") + "]");
        const bool daemon = std::string(program) == PROCWARDD_EXECUTABLE;
        for (const char* option : {"--config-dir", "--log-dir"}) {
            std::vector<std::string> args;
            if (!daemon) args.push_back("--headless");
            args.push_back(option);
            args.push_back(install.dir.file("missing"));
            const Outcome outcome = runToEnd(install.executable(), args);
            EXPECT_EQ(1, outcome.code) << outcome.output;
            EXPECT_NE(std::string::npos,
                      outcome.output.find(std::string(option) + " " + install.dir.file("missing") +
                                          ": the directory does not exist"))
                << outcome.output;
        }
        // --test-mail checks them the same way.
        const Outcome mail = runToEnd(install.executable(), {"--test-mail", "--config-dir", install.dir.file("missing")});
        EXPECT_EQ(1, mail.code) << mail.output;
        EXPECT_TRUE(install.serverPids().empty());
        EXPECT_FALSE(std::filesystem::exists(install.dir.file("logs")));
    }
}

TEST(DirectoriesTest, ALogThatCannotBeOpenedEndsTheProgramsWithoutAWindowWithCodeOneAndTheReason) {
    for (const char* program : {PROCWARDD_EXECUTABLE, PROCWARD_EXECUTABLE}) {
        SCOPED_TRACE(program);
        Installation install(program);
        install.writeServers("[" + install.entry("web", "--role no-log") + "]");
        // A file where the log directory should be: start-up makes no
        // directory then, and the log cannot be opened.
        writeFile(install.dir.file("logs"), "not a directory");
        const bool daemon = std::string(program) == PROCWARDD_EXECUTABLE;
        std::vector<std::string> args;
        if (!daemon) args.push_back("--headless");
        const Outcome outcome = runToEnd(install.executable(), args);
        EXPECT_EQ(1, outcome.code) << outcome.output;
        const std::string name = daemon ? "procwardd" : "procward";
        EXPECT_NE(std::string::npos,
                  outcome.output.find(name + ": the log cannot be opened in " + install.dir.file("logs") + ": "))
            << outcome.output;
        EXPECT_EQ(std::string::npos, outcome.output.find("INDEX"));  // nothing supervised
        EXPECT_TRUE(install.serverPids().empty());
        EXPECT_EQ("not a directory", readFile(install.dir.file("logs")));
    }
}

TEST(DirectoriesTest, ALogDirectoryTheUserCannotWriteIsRefused) {
    // Root may write into any directory, so the program runs as nobody
    // against a directory that only root may write to.
    Installation install;
    install.writeServers("[]");
    TempDir logs;
    ::chmod(logs.path().c_str(), 0755);
    std::vector<std::string> args = asNobody(false);
    const std::string program = args.front();
    args.erase(args.begin());
    args.push_back(install.executable());
    args.push_back("--log-dir");
    args.push_back(logs.path());
    const Outcome outcome = runToEnd(program, args);
    EXPECT_EQ(1, outcome.code) << outcome.output;
    EXPECT_NE(std::string::npos, outcome.output.find("--log-dir " + logs.path() + ": the directory is not writable"))
        << outcome.output;
    EXPECT_TRUE(std::filesystem::is_empty(logs.path()));
}

TEST(DirectoriesTest, DailyLogsOlderThanLogKeepDaysAreRemovedAtStart) {
    Installation install;
    std::filesystem::create_directory(install.dir.file("logs"));
    const std::string old = install.dir.file("logs/" + logNameOf(10));
    const std::string recent = install.dir.file("logs/" + logNameOf(6));
    const std::string foreign = install.dir.file("logs/notes_20000101.log");
    for (const std::string& path : {old, recent, foreign}) writeFile(path, "x\r\n");
    install.writeServers("[]");
    install.writeSettings("[GENERAL]\nLOG_KEEP_DAYS=7\n");
    install.start();
    EXPECT_FALSE(std::filesystem::exists(old));
    EXPECT_TRUE(std::filesystem::exists(recent));
    EXPECT_TRUE(std::filesystem::exists(foreign));
}

TEST(DirectoriesTest, WithoutTheKeyThirtyDaysOfLogsAreKept) {
    Installation install;
    std::filesystem::create_directory(install.dir.file("logs"));
    const std::string old = install.dir.file("logs/" + logNameOf(31));
    const std::string kept = install.dir.file("logs/" + logNameOf(29));
    for (const std::string& path : {old, kept}) writeFile(path, "x\r\n");
    install.writeServers("[]");
    install.start();
    EXPECT_FALSE(std::filesystem::exists(old));
    EXPECT_TRUE(std::filesystem::exists(kept));
}

}  // namespace
