#include <gtest/gtest.h>

#include "ui/model/AddServerForm.h"

namespace {

const std::vector<ListedServer> kListed = {
    {"Game1", "/srv/svr_Game 1"},
    {"Game2", "/srv/svr_Game 2"},
    {"Login", "/srv/svr_Login"},
};

void expectRefused(const NewServerCheck& check, const char* message, int focusId) {
    EXPECT_FALSE(check.accepted());
    EXPECT_EQ(message, check.message);
    EXPECT_EQ(focusId, check.focusId);
}

TEST(CheckNewServerTest, EmptyTextsAreRefusedInOrderWithTheirFocus) {
    expectRefused(CheckNewServer("   ", "", "", kListed), "名称不能为空！", 1004);
    expectRefused(CheckNewServer("Game3", " \t", "", kListed), "文件名不能为空！", 1005);
    expectRefused(CheckNewServer("Game3", "svr_Game", "  ", kListed), "命令行不能为空！", 1006);
    // An empty name is reported even when the command line is a duplicate.
    expectRefused(CheckNewServer("", "svr_Game", "/srv/svr_Game 1", kListed), "名称不能为空！", 1004);
}

TEST(CheckNewServerTest, DuplicatesIgnoreLetterCase) {
    expectRefused(CheckNewServer("game1", "svr_Game", "/srv/svr_Game 3", kListed), "名称已存在！", 1004);
    expectRefused(CheckNewServer("Game3", "svr_Game", "/SRV/svr_game 2", kListed), "命令行已存在！", 1006);
    // Trimmed before the comparison.
    expectRefused(CheckNewServer(" LOGIN ", "svr_Login", "/srv/other", kListed), "名称已存在！", 1004);
    // Only ASCII letters are folded.
    EXPECT_TRUE(CheckNewServer("Ärger", "svr", "/srv/a", {{"ärger", "/srv/b"}}).accepted());
    expectRefused(CheckNewServer("游戏A", "svr", "/srv/a", {{"游戏a", "/srv/b"}}), "名称已存在！", 1004);
}

TEST(CheckNewServerTest, TheFirstListedServerWithADuplicateDecides) {
    // The name repeats the third server, the command line the first: the
    // walk reaches the first server first, so the command line is reported.
    expectRefused(CheckNewServer("Login", "svr_Login", "/srv/svr_Game 1", kListed), "命令行已存在！", 1006);
    // Within one server the name is tested first.
    expectRefused(CheckNewServer("Game2", "svr_Game", "/srv/svr_Game 2", kListed), "名称已存在！", 1004);
}

TEST(CheckNewServerTest, AcceptedTextsAreTrimmedAndTheFileNameMayRepeat) {
    const NewServerCheck check = CheckNewServer("  Game3 ", "\tsvr_Game ", " /srv/svr_Game 3  ", kListed);
    ASSERT_TRUE(check.accepted());
    EXPECT_EQ("Game3", check.name);
    EXPECT_EQ("svr_Game", check.processname);
    EXPECT_EQ("/srv/svr_Game 3", check.commandline);
    EXPECT_TRUE(CheckNewServer("a", "b", "c", {}).accepted());
}

TEST(CheckNewServerTest, WalksTheRecordsInIndexOrder) {
    // The list's entries come in index order, gaps included.
    const std::vector<ServerEntry> servers{{1, "Game1", "svr_Game", "/srv/svr_Game 1"},
                                           {3, "Login", "svr_Login", "/srv/svr_Login"}};
    const std::vector<ListedServer> listed = ListedServers(servers);
    ASSERT_EQ(2u, listed.size());
    EXPECT_EQ("Game1", listed[0].name);
    EXPECT_EQ("/srv/svr_Login", listed[1].commandline);
    // Index 1 is reached before index 3: the command line of the first wins.
    expectRefused(CheckNewServer("login", "svr", "/srv/SVR_Game 1", listed), "命令行已存在！", 1006);
}

TEST(ProposeServerNameTest, AppendsThePartAfterTheLastBlankToTheFileName) {
    EXPECT_EQ("svr_Game2", ProposeServerName("svr_Game", "/srv/svr_Game 2"));
    EXPECT_EQ("svr_Game3", ProposeServerName("svr_Game", "/srv/svr_Game -c 3"));
    // The command line is trimmed, the file name text taken as it stands.
    EXPECT_EQ(" svr 2", ProposeServerName(" svr ", "  /srv/svr_Game 2  "));
    // A trailing blank is trimmed away: no blank left, no proposal.
    EXPECT_EQ(std::nullopt, ProposeServerName("svr_Game", "/srv/svr_Game "));
    EXPECT_EQ(std::nullopt, ProposeServerName("svr_Game", "/srv/svr_Game"));
    EXPECT_EQ(std::nullopt, ProposeServerName("svr_Game", ""));
}

TEST(SplitBrowsedPathTest, FillsNameAndFileNameFromThePath) {
    const BrowsedServer browsed = SplitBrowsedPath("/srv/game/svr_Game");
    EXPECT_EQ("svr_Game", browsed.name);
    EXPECT_EQ("svr_Game", browsed.fileName);
    EXPECT_EQ("/srv/game/svr_Game", browsed.commandLine);
    // A path with a blank: the name proposal then runs on it.
    const BrowsedServer spaced = SplitBrowsedPath("/opt/My Games/x");
    EXPECT_EQ("x", spaced.fileName);
    EXPECT_EQ("xGames/x", ProposeServerName(spaced.fileName, spaced.commandLine));
}

TEST(SplitBrowsedPathTest, ACancelledBrowseEmptiesAllThree) {
    const BrowsedServer browsed = SplitBrowsedPath("");
    EXPECT_EQ("", browsed.name);
    EXPECT_EQ("", browsed.fileName);
    EXPECT_EQ("", browsed.commandLine);
}

}  // namespace
