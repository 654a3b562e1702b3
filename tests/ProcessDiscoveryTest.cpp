#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/TcpTable.h"
#include "platform/linux/LinuxProcessTable.h"
#include "supervision/MachineLook.h"
#include "supervision/ProcessDiscovery.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

namespace {

const std::string kServerName = "procward-testserver";

std::int32_t find(const std::string& processname, const std::string& commandline) {
    MatchKeys keys;
    if (!formMatchKeys(processname, commandline, keys)) return 0;
    MachineLook look(platform::processTable(), platform::tcpTable());
    return findServerProcess(look, keys);
}

std::string canonical(const std::string& path) { return std::filesystem::canonical(path).string(); }

TEST(MatchKeysTest, AreTheLaunchersWordsOfTheCommandLine) {
    TempDir dir;
    const std::string program = copyTestServer(dir.file("game"));
    MatchKeys keys;
    ASSERT_TRUE(formMatchKeys("game", program + "  /ServerID\t12 ", keys));
    EXPECT_EQ("game", keys.exeName);
    EXPECT_EQ(program, keys.programPaths.at(0));
    EXPECT_EQ((std::vector<std::string>{"/ServerID", "12"}), keys.arguments);

    ASSERT_TRUE(formMatchKeys("game", program, keys));
    EXPECT_TRUE(keys.arguments.empty());

    // Quotes group words and are not part of them.
    ASSERT_TRUE(formMatchKeys("game", "'" + program + "' \"a  b\" 'c'\\ d", keys));
    EXPECT_EQ(program, keys.programPaths.at(0));
    EXPECT_EQ((std::vector<std::string>{"a  b", "c d"}), keys.arguments);
}

TEST(MatchKeysTest, ResolveTheProgramAsTheLauncherWould) {
    TempDir dir;
    const std::string program = copyTestServer(dir.file("game"));
    const std::string link = dir.file("gamelink");
    std::filesystem::create_symlink(program, link);
    MatchKeys keys;
    ASSERT_TRUE(formMatchKeys("gamelink", link + " -x", keys));
    EXPECT_EQ((std::vector<std::string>{link, canonical(program)}), keys.programPaths);
    // Known by the link's name; its process by the image's.
    EXPECT_EQ((std::vector<std::string>{"gamelink", "game"}), keys.fileNames);

    // A bare name is looked up on PATH.
    ScopedEnvironment path("PATH", dir.path() + ":/usr/bin:/bin");
    ASSERT_TRUE(formMatchKeys("game", "game -x", keys));
    EXPECT_EQ((std::vector<std::string>{"game", canonical(program)}), keys.programPaths);
}

TEST(MatchKeysTest, CannotBeFormedWithoutTheNameOrForAnUnlaunchableLine) {
    MatchKeys keys;
    EXPECT_FALSE(formMatchKeys("Game", "/srv/game -x", keys));
    EXPECT_FALSE(formMatchKeys("", "/srv/game -x", keys));
    EXPECT_FALSE(formMatchKeys("game", "/srv/game 'unbalanced", keys));
}

// Each test runs its own copy of the test server, so that processes of
// other tests running at the same time never match.
class DiscoveryTest : public ::testing::Test {
protected:
    TempDir copies;
    std::string server = copyTestServer(copies.file(kServerName));
};

TEST_F(DiscoveryTest, FindsTheProcessWithTheSameArgumentsOnly) {
    TestServer twelve({"/ServerID", "12"}, server);
    TestServer thirteen({"/ServerID", "13"}, server);
    EXPECT_EQ(twelve.pid(), find(kServerName, server + " /ServerID 12"));
    EXPECT_EQ(thirteen.pid(), find(kServerName, server + " /ServerID 13"));
    EXPECT_EQ(0, find(kServerName, server + " /ServerID 14"));
}

TEST_F(DiscoveryTest, ArgumentsAreComparedWordByWordIgnoringCase) {
    TestServer process({"--Role", "Game"}, server);
    EXPECT_EQ(process.pid(), find(kServerName, server + " --role game"));
    // Blanks between words are only separators, as for the launcher.
    EXPECT_EQ(process.pid(), find(kServerName, server + "   --Role\t Game "));
    // One word with a blank in it is another argument list.
    EXPECT_EQ(0, find(kServerName, server + " '--Role Game'"));
    EXPECT_EQ(0, find(kServerName, server + " --Role"));
    // The executable's path ignores case as well.
    const std::string upper = std::string(server).replace(server.size() - kServerName.size(), kServerName.size(),
                                                          "PROCWARD-TESTSERVER");
    EXPECT_EQ(process.pid(), find("PROCWARD-TESTSERVER", upper + " --Role Game"));
}

TEST_F(DiscoveryTest, DefaultServerArgumentCountsAsNoArgumentsInBothDirections) {
    {
        TestServer bare({}, server);
        EXPECT_EQ(bare.pid(), find(kServerName, server + " /ServerID 11"));
        EXPECT_EQ(bare.pid(), find(kServerName, server));
        EXPECT_EQ(0, find(kServerName, server + " /serverid 11"));
    }
    TestServer withDefault({"/ServerID", "11"}, server);
    EXPECT_EQ(withDefault.pid(), find(kServerName, server));
    EXPECT_EQ(withDefault.pid(), find(kServerName, server + " /ServerID 11"));
}

TEST_F(DiscoveryTest, EveryFormTheLauncherAcceptsFindsItsProcess) {
    // Quotes, backslashes and tabs in the arguments.
    TestServer quoted({"a  b", "it's", "back\\slash", "tab\there", "\"night\""}, server);
    EXPECT_EQ(quoted.pid(),
              find(kServerName, "\"" + server + "\" 'a  b' it\\'s back\\\\slash 'tab\there' '\"night\"'"));
    EXPECT_EQ(0, find(kServerName, server + " a b it's back\\slash tab\there night"));

    // A path with a blank, quoted.
    const std::string spaced = copies.path() + "/my srv";
    std::filesystem::create_directory(spaced);
    const std::string copy = copyTestServer(spaced + "/" + kServerName);
    TestServer inSpacedPath({"-x"}, copy);
    EXPECT_EQ(inSpacedPath.pid(), find(kServerName, "'" + copy + "' -x"));
    EXPECT_EQ(0, find(kServerName, copy + " -x"));  // unquoted it names another program

    // A bare name found on PATH, and a path relative to the working directory.
    TestServer bare({"--bare"}, server);
    ScopedEnvironment path("PATH", copies.path() + ":/usr/bin:/bin");
    EXPECT_EQ(bare.pid(), find(kServerName, kServerName + " --bare"));
    ScopedWorkingDirectory cwd(copies.path());
    EXPECT_EQ(bare.pid(), find(kServerName, "./" + kServerName + " --bare"));
}

TEST_F(DiscoveryTest, TwoMatchingProcessesGiveTheFirstInTableOrder) {
    TestServer a({"--same"}, server);
    TestServer b({"--same"}, server);
    EXPECT_EQ(std::min(a.pid(), b.pid()), find(kServerName, server + " --same"));
}

TEST_F(DiscoveryTest, ACommandLineLongerThan255CharactersIsRecognised) {
    std::vector<std::string> args;
    std::string text = server;
    for (int i = 0; i < 40; ++i) {
        args.push_back("--argument-" + std::to_string(i));
        text += " " + args.back();
    }
    ASSERT_GT(text.size(), 255u);
    TestServer process(args, server);
    EXPECT_EQ(process.pid(), find(kServerName, text));
}

TEST_F(DiscoveryTest, AServerStartedThroughALinkIsFoundByTheLinksNameAndPath) {
    TempDir dir;
    const std::string link = dir.file("gamesvr");
    std::filesystem::create_symlink(server, link);
    TestServer process({"-x"}, link);
    EXPECT_EQ(process.pid(), find("gamesvr", link + " -x"));
    // The image's own name and path find it as well.
    EXPECT_EQ(process.pid(), find(kServerName, server + " -x"));
    EXPECT_EQ(0, find("gamesvr", link + " -y"));
}

TEST_F(DiscoveryTest, AProcessClaimingTheServersPathInItsArgumentsIsNotTheServer) {
    // Any user can start a program whose argv[0] names the server's path.
    TempDir dir;
    const std::string decoy = copyTestServer(dir.file("decoy"));
    const pid_t pid = ::fork();
    if (pid == 0) {
        const char* argv[] = {server.c_str(), "--role", "decoy", nullptr};
        ::execv(decoy.c_str(), const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ASSERT_TRUE(waitFor([&] {
        std::string exe;
        return platform::LinuxProcessTable::executable(pid, exe) && exe == canonical(decoy);
    }));
    EXPECT_EQ(0, find(kServerName, server + " --role decoy"));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

TEST_F(DiscoveryTest, AProcessWhoseMainThreadHasEndedIsStillFound) {
    TestServer process({"--exit-main-thread"}, server);
    ASSERT_TRUE(waitFor([&] {
        // Once the main thread has gone, the process's own exe link no
        // longer reads; its other threads still show the program.
        std::string exe;
        char target[PATH_MAX];
        return ::readlink(("/proc/" + std::to_string(process.pid()) + "/exe").c_str(), target, sizeof target) < 0 &&
               platform::LinuxProcessTable::executable(process.pid(), exe);
    })) << "the main thread did not end";
    EXPECT_EQ(process.pid(), find(kServerName, server + " --exit-main-thread"));
}

TEST_F(DiscoveryTest, AProcessThatHasEndedIsNotFound) {
    TestServer process({"--short-lived"}, server);
    const int pid = process.pid();
    EXPECT_EQ(pid, find(kServerName, server + " --short-lived"));
    process.kill();
    EXPECT_EQ(0, find(kServerName, server + " --short-lived"));
}

TEST(ProcessTableTest, ListsRunningProcessesInAscendingOrderWithoutZombiesOrKernelThreads) {
    const pid_t zombie = ::fork();
    if (zombie == 0) ::_exit(0);
    ASSERT_GT(zombie, 0);
    ASSERT_TRUE(waitFor([&] { return !processAlive(zombie); }));

    TestServer running({"--listed"});
    platform::LinuxProcessTable table;
    platform::ProcessSnapshot snapshot;
    ASSERT_TRUE(table.snapshot(snapshot));
    EXPECT_TRUE(std::is_sorted(snapshot.begin(), snapshot.end(),
                               [](const auto& a, const auto& b) { return a.pid < b.pid; }));
    auto at = [&](int pid) {
        return std::find_if(snapshot.begin(), snapshot.end(), [&](const auto& e) { return e.pid == pid; });
    };
    EXPECT_EQ(snapshot.end(), at(zombie));
    EXPECT_EQ(snapshot.end(), at(2));  // kthreadd
    ASSERT_NE(snapshot.end(), at(running.pid()));
    EXPECT_EQ(kServerName, at(running.pid())->exeFile);
    EXPECT_EQ(canonical(testServerPath()), at(running.pid())->exePath);
    EXPECT_NE(snapshot.end(), at(::getpid()));
    for (const auto& entry : snapshot) EXPECT_FALSE(entry.exePath.empty()) << entry.pid;
    int status = 0;
    ::waitpid(zombie, &status, 0);
}

TEST(ProcessTableTest, ReadsTheExecutableNotTheClaimOfArgvZero) {
    TempDir dir;
    const std::string link = dir.file("linked");
    std::filesystem::create_symlink(testServerPath(), link);
    TestServer process({"a", "b c"}, link);
    platform::LinuxProcessTable table;
    std::vector<std::string> paths, words;
    ASSERT_TRUE(table.executablePaths(process.pid(), paths));
    EXPECT_EQ(std::vector<std::string>{canonical(testServerPath())}, paths);
    ASSERT_TRUE(table.argumentWords(process.pid(), words));
    EXPECT_EQ((std::vector<std::string>{"a", "b c"}), words);
    std::string text;
    ASSERT_TRUE(table.commandLine(process.pid(), text));
    EXPECT_EQ(link + " a b c", text);
    EXPECT_FALSE(table.commandLine(0, text));
    EXPECT_FALSE(table.executablePaths(0, paths));
}

TEST(ProcessTableTest, StartTimeIsNeverEarlierThanTheRealStart) {
    // Many starts, so that one falling just after a whole second is likely:
    // the second shown must be that of the real start, never the one before.
    for (int i = 0; i < 20; ++i) {
        timespec before{};
        ::clock_gettime(CLOCK_REALTIME, &before);
        TestServer process({"--started"});
        timespec after{};
        ::clock_gettime(CLOCK_REALTIME, &after);
        std::int64_t seconds = 0;
        ASSERT_TRUE(platform::processTable().startTime(process.pid(), seconds));
        EXPECT_GE(seconds, before.tv_sec);
        EXPECT_LE(seconds, after.tv_sec);
    }
}

}  // namespace
