#include <gtest/gtest.h>

#include "ui/model/ServerPaths.h"

namespace {

TEST(ServerDirectoryTest, EndsAtTheLastSeparator) {
    EXPECT_EQ("/srv/game/", ServerDirectory("/srv/game/svr_Game 1"));
    // The last separator may lie in an argument.
    EXPECT_EQ("/srv/game/svr_Game --config /etc/", ServerDirectory("/srv/game/svr_Game --config /etc/x"));
    EXPECT_EQ("/", ServerDirectory("/x"));
    EXPECT_EQ(std::nullopt, ServerDirectory(""));
    EXPECT_EQ(std::nullopt, ServerDirectory("svr_Game 1"));
}

TEST(ReloadScriptNameTest, FollowsTheNamingRuleWithTheLinuxSuffixes) {
    EXPECT_EQ("reload_Game.sh", ReloadScriptName("D/svr/svr_Game 1"));
    EXPECT_EQ("reload_Game.sh", ReloadScriptName("/srv/svr_Game"));
    // Only a second blank adds the text after the last one.
    EXPECT_EQ("reload_Game_3.sh", ReloadScriptName("/srv/svr_Game -c 3"));
    EXPECT_EQ("debug_reload_Game.sh", ReloadScriptName("/srv/svrDebug_Game"));
    EXPECT_EQ("debug_reload_Game_3.sh", ReloadScriptName("/srv/svrDebug_Game -c 3"));
    // "Debug" is matched with its case.
    EXPECT_EQ("reload_debug_Game.sh", ReloadScriptName("/srv/svr_debug_Game"));
    // A stem of exactly the prefix length gives an empty middle part.
    EXPECT_EQ("reload_.sh", ReloadScriptName("/srv/svr_"));
}

TEST(ReloadScriptNameTest, ABlankInTheDirectoryDoesNotEndTheProgramPart) {
    EXPECT_EQ("reload_Game 1_1.sh", ReloadScriptName("/my srv/svr_Game 1"));
}

TEST(ReloadScriptNameTest, StemsTooShortForTheRuleHaveNoScript) {
    EXPECT_EQ(std::nullopt, ReloadScriptName("/srv/x"));
    EXPECT_EQ(std::nullopt, ReloadScriptName("/srv/svr 1"));
    // With "Debug" the rule takes 9 characters.
    EXPECT_EQ(std::nullopt, ReloadScriptName("/srv/xDebug"));
    EXPECT_EQ("debug_reload_.sh", ReloadScriptName("/srv/svrDebug_"));
    EXPECT_EQ(std::nullopt, ReloadScriptName("svr_Game 1"));
}

TEST(ReloadScriptNameTest, WindowsSuffixesGiveTheWindowsNames) {
    EXPECT_EQ("reload_Game.bat", ReloadScriptName("D:/svr/svr_Game.exe 1", ".exe", ".bat"));
    EXPECT_EQ("reload_Game_3.bat", ReloadScriptName("D:/svr/svr_Game.exe -c 3", ".exe", ".bat"));
    EXPECT_EQ("debug_reload_Game.bat", ReloadScriptName("D:/svr/svrDebug_Game.exe", ".exe", ".bat"));
    // x.exe leaves the stem x.
    EXPECT_EQ(std::nullopt, ReloadScriptName("C:/x.exe", ".exe", ".bat"));
}

TEST(UpdateTimeScriptNameTest, IsTheShellScript) { EXPECT_EQ("nettime.sh", UpdateTimeScriptName()); }

}  // namespace
