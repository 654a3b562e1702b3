#include <gtest/gtest.h>

#include "ui/model/ServerPaths.h"

namespace {

TEST(ServerDirectoryTest, IsTheProgramsDirectoryNotAnArgumentsPath) {
    EXPECT_EQ("/srv/game/", ServerDirectory("/srv/game/svr_Game 1", "svr_Game"));
    // A path among the arguments is not where the server lives.
    EXPECT_EQ("/srv/game/", ServerDirectory("/srv/game/svr_Game --config /etc/x", "svr_Game"));
    EXPECT_EQ("/srv/game/", ServerDirectory("/srv/game/svr_Game --log=/var/log/game/", "svr_Game"));
    EXPECT_EQ("/", ServerDirectory("/x", "x"));
    // Quoted as the launcher reads it, a blank belongs to the directory.
    EXPECT_EQ("/my srv/", ServerDirectory("'/my srv/svr_Game' 1", "svr_Game"));
    EXPECT_EQ("/my srv/", ServerDirectory("\"/my srv/svr_Game\" -c /etc/game.conf", "svr_Game"));
}

TEST(ServerDirectoryTest, ABareNameLivesWhereTheSearchPathFindsIt) {
    // sh is on every search path; the directory is that of the file it
    // resolves to, whatever the arguments say.
    const std::optional<std::string> directory = ServerDirectory("sh -c 'exec /opt/x/y'", "sh");
    ASSERT_TRUE(directory.has_value());
    EXPECT_EQ('/', directory->front());
    EXPECT_EQ('/', directory->back());
    EXPECT_NE(std::string::npos, std::string("/usr/bin/ /bin/").find(*directory)) << *directory;
}

TEST(ServerDirectoryTest, NoneWithoutAProgramThatHasADirectory) {
    EXPECT_EQ(std::nullopt, ServerDirectory("", ""));
    EXPECT_EQ(std::nullopt, ServerDirectory("svr_Game_not_on_any_path 1 /etc/x", "svr_Game_not_on_any_path"));
    EXPECT_EQ(std::nullopt, ServerDirectory("'/srv/game/svr_Game 1", "svr_Game"));  // unbalanced quote
}

TEST(ReloadScriptNameTest, FollowsTheNamingRuleWithTheLinuxSuffixes) {
    EXPECT_EQ("reload_Game.sh", ReloadScriptName("D/svr/svr_Game 1", "svr_Game"));
    EXPECT_EQ("reload_Game.sh", ReloadScriptName("/srv/svr_Game", "svr_Game"));
    EXPECT_EQ("reload_Game_3.sh", ReloadScriptName("/srv/svr_Game -c 3", "svr_Game"));
    EXPECT_EQ("debug_reload_Game.sh", ReloadScriptName("/srv/svrDebug_Game", "svrDebug_Game"));
    EXPECT_EQ("debug_reload_Game_3.sh", ReloadScriptName("/srv/svrDebug_Game -c 3", "svrDebug_Game"));
    EXPECT_EQ("reload_debug_Game.sh", ReloadScriptName("/srv/svr_debug_Game", "svr_debug_Game"));
    EXPECT_EQ("reload_.sh", ReloadScriptName("/srv/svr_", "svr_"));
}

TEST(ReloadScriptNameTest, TheNameComesFromTheProgramNotFromAnArgumentsPath) {
    EXPECT_EQ("reload_Game_/etc/x.conf.sh", ReloadScriptName("/srv/svr_Game -c /etc/x.conf", "svr_Game"));
    EXPECT_EQ("reload_Game.sh", ReloadScriptName("/srv/svr_Game /etc/x.conf", "svr_Game"));
    EXPECT_EQ("reload_Game_1.sh", ReloadScriptName("'/my srv/svr_Game' -n 1", "svr_Game"));
}

TEST(ReloadScriptNameTest, StemsTooShortForTheRuleHaveNoScript) {
    EXPECT_EQ(std::nullopt, ReloadScriptName("/srv/x", "x"));
    EXPECT_EQ(std::nullopt, ReloadScriptName("/srv/svr 1", "svr"));
    EXPECT_EQ(std::nullopt, ReloadScriptName("/srv/xDebug", "xDebug"));
    EXPECT_EQ("debug_reload_.sh", ReloadScriptName("/srv/svrDebug_", "svrDebug_"));
    EXPECT_EQ(std::nullopt, ReloadScriptName("svr_Game_not_on_any_path 1", "svr_Game_not_on_any_path"));
}

TEST(ReloadScriptNameTest, WindowsSuffixesGiveTheWindowsNames) {
    EXPECT_EQ("reload_Game.bat", ReloadScriptName("D:/svr/svr_Game.exe 1", "svr_Game.exe", ".exe", ".bat"));
    EXPECT_EQ("reload_Game_3.bat", ReloadScriptName("D:/svr/svr_Game.exe -c 3", "svr_Game.exe", ".exe", ".bat"));
    EXPECT_EQ("debug_reload_Game.bat", ReloadScriptName("D:/svr/svrDebug_Game.exe", "svrDebug_Game.exe", ".exe", ".bat"));
    EXPECT_EQ(std::nullopt, ReloadScriptName("C:/x.exe", "x.exe", ".exe", ".bat"));
}

TEST(UpdateTimeScriptNameTest, IsTheShellScript) { EXPECT_EQ("nettime.sh", UpdateTimeScriptName()); }

}  // namespace
