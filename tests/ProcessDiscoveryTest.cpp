#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/linux/LinuxProcessTable.h"
#include "supervision/ProcessDiscovery.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"

namespace {

const std::string kServerName = "procward-testserver";

std::int32_t find(const std::string& processname, const std::string& commandline) {
    MatchKeys keys;
    if (!formMatchKeys(processname, commandline, keys)) return 0;
    return findServerProcess(keys.exeName, keys.exePath, keys.arguments);
}

TEST(MatchKeysTest, AreFormedFromNameAndCommandLine) {
    MatchKeys keys;
    ASSERT_TRUE(formMatchKeys("game", "/srv/game  /ServerID 12 ", keys));
    EXPECT_EQ("game", keys.exeName);
    EXPECT_EQ("/srv/game", keys.exePath);
    EXPECT_EQ("/ServerID 12", keys.arguments);

    ASSERT_TRUE(formMatchKeys("game", "/srv/game", keys));
    EXPECT_EQ("", keys.arguments);

    // The path ends at the first occurrence of the name.
    ASSERT_TRUE(formMatchKeys("game", "/games/game/game -x", keys));
    EXPECT_EQ("/game", keys.exePath);

    // Only blanks are trimmed from the arguments; tabs stay.
    ASSERT_TRUE(formMatchKeys("game", "/srv/game \t-x\t ", keys));
    EXPECT_EQ("\t-x\t", keys.arguments);
}

TEST(MatchKeysTest, CannotBeFormedWhenTheCommandLineLacksTheNameByteForByte) {
    MatchKeys keys;
    EXPECT_FALSE(formMatchKeys("Game", "/srv/game -x", keys));
    EXPECT_FALSE(formMatchKeys("", "/srv/game -x", keys));
}

TEST(ArgumentTextTest, DropsQuotesAndTheProgramAndTrims) {
    EXPECT_EQ("-a b", argumentText("/srv/game -a \"b\""));
    EXPECT_EQ("", argumentText("/srv/game"));
    EXPECT_EQ("srv/game -x", argumentText("/my srv/game -x"));
    EXPECT_EQ("x", argumentText("\"/srv/game\"  x \t"));
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

TEST_F(DiscoveryTest, ArgumentsDifferingInCaseMatchButInnerBlanksDoNot) {
    TestServer process({"--Role", "Game"}, server);
    EXPECT_EQ(process.pid(), find(kServerName, server + " --role game"));
    EXPECT_EQ(0, find(kServerName, server + " --Role  Game"));
    // The executable name and path ignore case as well.
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

TEST_F(DiscoveryTest, ARelativeOrQuotedCommandLineNeverMatches) {
    TestServer process({"-x"}, server);
    EXPECT_EQ(0, find(kServerName, kServerName + " -x"));
    EXPECT_EQ(0, find(kServerName, "\"" + server + "\" -x"));
}

TEST_F(DiscoveryTest, QuotesAreDroppedFromTheProcessSideOnly) {
    TestServer process({"--title", "\"night\""}, server);
    EXPECT_EQ(process.pid(), find(kServerName, server + " --title night"));
    EXPECT_EQ(0, find(kServerName, server + " --title \"night\""));
}

TEST_F(DiscoveryTest, PathWithBlanksMatchesBecauseBothSidesCutAtTheFirstBlank) {
    TempDir dir;
    const std::string spaced = dir.path() + "/my srv";
    std::filesystem::create_directory(spaced);
    const std::string copy = spaced + "/" + kServerName;
    std::filesystem::copy_file(server, copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    TestServer process({"-x"}, copy);
    EXPECT_EQ(process.pid(), find(kServerName, copy + " -x"));
    EXPECT_EQ(0, find(kServerName, copy + " -y"));
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

TEST_F(DiscoveryTest, AProcessThatHasEndedIsNotFound) {
    TestServer process({"--short-lived"}, server);
    const int pid = process.pid();
    EXPECT_EQ(pid, find(kServerName, server + " --short-lived"));
    process.kill();
    EXPECT_EQ(0, find(kServerName, server + " --short-lived"));
}

TEST(ProcessTableTest, ListsRunningProcessesInAscendingOrderWithoutZombies) {
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
    ASSERT_NE(snapshot.end(), at(running.pid()));
    EXPECT_EQ(kServerName, at(running.pid())->exeFile);
    EXPECT_EQ(::getpid(), at(running.pid())->parentPid);
    EXPECT_NE(snapshot.end(), at(::getpid()));
    // Kernel threads (children of kthreadd, PID 2) are left out.
    EXPECT_EQ(snapshot.end(), std::find_if(snapshot.begin(), snapshot.end(),
                                           [](const auto& e) { return e.parentPid == 2; }));
    int status = 0;
    ::waitpid(zombie, &status, 0);
}

TEST(ProcessTableTest, ReadsPathsAndCommandLineOfAProcess) {
    TempDir dir;
    const std::string link = dir.file("linked");
    std::filesystem::create_symlink(testServerPath(), link);
    TestServer process({"a", "b c"}, link);
    platform::LinuxProcessTable table;
    std::string text;
    ASSERT_TRUE(table.modulePath(process.pid(), text));
    EXPECT_EQ(std::filesystem::canonical(testServerPath()).string(), text);
    ASSERT_TRUE(table.imagePath(process.pid(), text));
    EXPECT_EQ(link, text);
    ASSERT_TRUE(table.commandLine(process.pid(), text));
    EXPECT_EQ(link + " a b c", text);
    EXPECT_FALSE(table.commandLine(0, text));
}

}  // namespace
