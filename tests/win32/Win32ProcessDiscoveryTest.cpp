// Discovery of real Windows processes: the process table, paths from the
// module snapshot and the image name, command lines read from the
// processes' own memory, and the matching rules on top of them.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <memory>

#include "platform/ProcessTable.h"
#include "platform/TcpTable.h"
#include "platform/Text.h"
#include "platform/win32/Win32ProcessTable.h"
#include "supervision/MachineLook.h"
#include "supervision/ProcessDiscovery.h"
#include "tests/support/TempDir.h"
#include "tests/win32/support/WinTestServer.h"

namespace {

class Win32ProcessDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override { exe = WinTestServer::copyProgram(dir, "game.exe"); }

    std::unique_ptr<WinTestServer> start(const std::string& commandLine) {
        auto server = std::make_unique<WinTestServer>(dir, commandLine);
        EXPECT_TRUE(server->started()) << commandLine;
        return server;
    }

    // The pid findServerProcess gives for a configuration, from a fresh look.
    int found(const std::string& processname, const std::string& commandline) {
        MatchKeys keys;
        if (!formMatchKeys(processname, commandline, keys)) return 0;
        MachineLook look(platform::processTable(), platform::tcpTable());
        return findServerProcess(look, keys);
    }

    TempDir dir;
    std::string exe;
    platform::Win32ProcessTable table;
};

}  // namespace

TEST_F(Win32ProcessDiscoveryTest, TheSnapshotListsTheServerWithItsParentAndFileName) {
    auto server = start(exe + " -x");
    platform::ProcessSnapshot snapshot;
    ASSERT_TRUE(table.snapshot(snapshot));
    const auto entry = std::find_if(snapshot.begin(), snapshot.end(),
                                    [&](const platform::ProcessEntry& e) { return e.pid == server->pid(); });
    ASSERT_NE(snapshot.end(), entry);
    EXPECT_EQ("game.exe", entry->exeFile);
    EXPECT_EQ(static_cast<int>(::GetCurrentProcessId()), entry->parentPid);
    EXPECT_TRUE(std::none_of(snapshot.begin(), snapshot.end(), [](const platform::ProcessEntry& e) { return e.pid == 0; }));
}

TEST_F(Win32ProcessDiscoveryTest, PathsComeFromTheFirstModuleAndTheImageName) {
    auto server = start(exe);
    std::string modulePath, imagePath;
    const bool haveModule = platform::Win32ProcessTable::firstModulePath(server->pid(), modulePath);
    const bool haveImage = platform::Win32ProcessTable::imagePath(server->pid(), imagePath);
    ASSERT_TRUE(haveModule || haveImage);
    if (haveModule) {
        EXPECT_TRUE(platform::equalsNoCase(exe, modulePath)) << modulePath;
    }
    if (haveImage) {
        EXPECT_TRUE(platform::equalsNoCase(exe, imagePath)) << imagePath;
    }
    if (!haveModule) std::printf("[  NOTE    ] no module snapshot of the server here; the image name stood in\n");
    std::vector<std::string> paths;
    ASSERT_TRUE(table.executablePaths(server->pid(), paths));
    EXPECT_TRUE(platform::equalsNoCase(exe, paths.front()));
    EXPECT_FALSE(table.executablePaths(0x7FFFFFF0, paths));
}

TEST_F(Win32ProcessDiscoveryTest, TheWholeCommandLineIsReadHoweverLong) {
    const std::string padding(600, 'p');
    const std::string commandLine = exe + " --pad " + padding + " --tail";
    auto server = start(commandLine);
    std::string text;
    ASSERT_TRUE(table.commandLine(server->pid(), text));
    EXPECT_EQ(commandLine, text);
    std::vector<std::string> words;
    ASSERT_TRUE(table.argumentWords(server->pid(), words));
    EXPECT_EQ(std::vector<std::string>{"--pad " + padding + " --tail"}, words);
    // A server with such a command line is recognised.
    EXPECT_EQ(server->pid(), found("game", commandLine));
}

TEST_F(Win32ProcessDiscoveryTest, ArgumentWordsAreTheTextAfterTheFirstBlankWithoutQuotes) {
    auto server = start("\"" + exe + "\"   --name  \"a b\"  \t");
    std::vector<std::string> words;
    ASSERT_TRUE(table.argumentWords(server->pid(), words));
    ASSERT_EQ(1u, words.size());
    // The path of the temporary folder has no blank: the quotes alone go.
    EXPECT_EQ("--name  a b", words[0]);
    auto bare = start(exe);
    ASSERT_TRUE(table.argumentWords(bare->pid(), words));
    EXPECT_TRUE(words.empty());
}

TEST_F(Win32ProcessDiscoveryTest, TheStartTimeIsTheSecondTheProcessStarted) {
    const std::time_t before = std::time(nullptr);
    auto server = start(exe);
    const std::time_t after = std::time(nullptr);
    std::int64_t seconds = 0;
    ASSERT_TRUE(table.startTime(server->pid(), seconds));
    EXPECT_GE(seconds, static_cast<std::int64_t>(before) - 1);
    EXPECT_LE(seconds, static_cast<std::int64_t>(after));
    EXPECT_FALSE(table.startTime(0x7FFFFFF0, seconds));
}

TEST_F(Win32ProcessDiscoveryTest, AServerIsFoundByPathAndArgumentsIgnoringLetterCase) {
    auto server = start(exe + " /ServerID 12");
    EXPECT_EQ(server->pid(), found("game", exe + " /ServerID 12"));
    EXPECT_EQ(server->pid(), found("game.exe", exe + " /serverid 12"));
    EXPECT_EQ(0, found("game", exe + " /ServerID 13"));
    EXPECT_EQ(0, found("game", exe + " /ServerID  12"));  // inner blanks count
    EXPECT_EQ(0, found("game", exe));
    // Outer blanks of the configured text do not count.
    EXPECT_EQ(server->pid(), found("game", exe + "   /ServerID 12  "));
}

TEST_F(Win32ProcessDiscoveryTest, DefaultServerIdCountsTheSameAsNoArguments) {
    auto bare = start(exe);
    EXPECT_EQ(bare->pid(), found("game", exe + " /ServerID 11"));
    // Only in exactly this spelling.
    EXPECT_EQ(0, found("game", exe + " /serverid 11"));
    bare.reset();

    auto eleven = start(exe + " /ServerID 11");
    EXPECT_EQ(eleven->pid(), found("game", exe));
    EXPECT_EQ(eleven->pid(), found("game", exe + " /ServerID 11"));
}

TEST_F(Win32ProcessDiscoveryTest, AQuotedConfiguredCommandLineIsNeverRecognised) {
    auto server = start("\"" + exe + "\" -x");
    EXPECT_EQ(0, found("game", "\"" + exe + "\" -x"));
    // The process side lost its quotes: configured without them it matches.
    EXPECT_EQ(server->pid(), found("game", exe + " -x"));
}

TEST_F(Win32ProcessDiscoveryTest, TheFirstOfTwoMatchingProcessesInSnapshotOrderIsTaken) {
    auto one = start(exe + " -same");
    auto two = start(exe + " -same");
    platform::ProcessSnapshot snapshot;
    ASSERT_TRUE(table.snapshot(snapshot));
    int first = 0;
    for (const auto& entry : snapshot)
        if (entry.pid == one->pid() || entry.pid == two->pid()) {
            first = entry.pid;
            break;
        }
    EXPECT_EQ(first, found("game", exe + " -same"));
}

TEST_F(Win32ProcessDiscoveryTest, AProcessOfAnotherExecutableWithTheSameArgumentsIsNotTaken) {
    const std::string other = WinTestServer::copyProgram(dir, "other.exe");
    auto server = start(other + " /ServerID 12");
    EXPECT_EQ(0, found("game", exe + " /ServerID 12"));
    // Same file name in another folder.
    TempDir elsewhere;
    const std::string twin = WinTestServer::copyProgram(elsewhere, "game.exe");
    auto twinServer = std::make_unique<WinTestServer>(elsewhere, twin + " /ServerID 12");
    ASSERT_TRUE(twinServer->started());
    EXPECT_EQ(0, found("game", exe + " /ServerID 12"));
    EXPECT_EQ(twinServer->pid(), found("game", twin + " /ServerID 12"));
}

TEST_F(Win32ProcessDiscoveryTest, AProcessWhoseMainThreadEndedIsStillFound) {
    auto server = start(exe + " --exit-main-thread");
    EXPECT_EQ(server->pid(), found("game", exe + " --exit-main-thread"));
}
