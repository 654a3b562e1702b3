// The text rules by which configured command lines and the command lines
// of running processes are compared on Windows.
#include <gtest/gtest.h>

#include "platform/LaunchTarget.h"
#include "platform/win32/Win32CommandLine.h"
#include "supervision/ProcessDiscovery.h"

using platform::Win32CommandLine;

TEST(Win32CommandLineTest, TheProgramEndsWithTheFirstOccurrenceOfTheExecutableName) {
    EXPECT_EQ("D:\\srv\\game.exe", Win32CommandLine::programPath("D:\\srv\\game.exe /ServerID 12", "game.exe"));
    // The first occurrence counts, even inside a directory name.
    EXPECT_EQ("D:\\game.exe", Win32CommandLine::programPath("D:\\game.exe\\game.exe -x", "game.exe"));
    // Byte-wise and case-sensitive.
    EXPECT_EQ("", Win32CommandLine::programPath("D:\\srv\\game.exe", "Game.exe"));
    EXPECT_EQ("", Win32CommandLine::programPath("D:\\srv\\game.exe", ""));
}

TEST(Win32CommandLineTest, ConfiguredArgumentsStartAtTheFirstBlankAndLoseOnlyOuterBlanks) {
    EXPECT_EQ("/ServerID 12", Win32CommandLine::configuredArguments("D:\\srv\\game.exe /ServerID 12"));
    EXPECT_EQ("-a  -b", Win32CommandLine::configuredArguments("D:\\srv\\game.exe   -a  -b   "));
    EXPECT_EQ("", Win32CommandLine::configuredArguments("D:\\srv\\game.exe"));
    EXPECT_EQ("", Win32CommandLine::configuredArguments("D:\\srv\\game.exe    "));
    // Only blanks are trimmed; tabs and quotes stay.
    EXPECT_EQ("\t-x\t", Win32CommandLine::configuredArguments("D:\\srv\\game.exe \t-x\t "));
    // A path with a blank and no quotes is cut inside the path.
    EXPECT_EQ("srv\\game.exe -x", Win32CommandLine::configuredArguments("D:\\my srv\\game.exe -x"));
    EXPECT_EQ("srv\\game.exe\" -x", Win32CommandLine::configuredArguments("\"D:\\my srv\\game.exe\" -x"));
}

TEST(Win32CommandLineTest, ProcessArgumentsLoseQuotesThenTheProgramThenOuterWhiteSpace) {
    EXPECT_EQ("/ServerID 12", Win32CommandLine::processArguments("D:\\srv\\game.exe /ServerID 12"));
    EXPECT_EQ("srv\\game.exe -x", Win32CommandLine::processArguments("\"D:\\my srv\\game.exe\" -x"));
    EXPECT_EQ("-name a b", Win32CommandLine::processArguments("game.exe -name \"a b\""));
    EXPECT_EQ("-x", Win32CommandLine::processArguments("game.exe \t -x \r\n"));
    EXPECT_EQ("", Win32CommandLine::processArguments("\"D:\\srv\\game.exe\""));
    EXPECT_EQ("", Win32CommandLine::processArguments("game.exe   \t"));
    EXPECT_EQ("", Win32CommandLine::processArguments(""));
}

TEST(Win32CommandLineTest, ALaunchTargetIsThePathAndOneArgumentText) {
    platform::LaunchTarget target;
    ASSERT_TRUE(platform::readLaunchTarget("D:\\srv\\game.exe  /ServerID 12 ", "game.exe", target));
    EXPECT_EQ(std::vector<std::string>{"D:\\srv\\game.exe"}, target.programPaths);
    EXPECT_EQ(std::vector<std::string>{"/ServerID 12"}, target.arguments);
    ASSERT_TRUE(platform::readLaunchTarget("D:\\srv\\game.exe", "game.exe", target));
    EXPECT_TRUE(target.arguments.empty());
    EXPECT_FALSE(platform::readLaunchTarget("D:\\srv\\other.exe", "game.exe", target));
}

TEST(Win32CommandLineTest, MatchKeysAddTheSuffixUnlessItEndsTheName) {
    MatchKeys keys;
    ASSERT_TRUE(formMatchKeys("game", "D:\\srv\\game.exe /ServerID 12", keys));
    EXPECT_EQ("game.exe", keys.exeName);
    EXPECT_EQ(std::vector<std::string>{"D:\\srv\\game.exe"}, keys.programPaths);
    EXPECT_EQ(std::vector<std::string>{"/ServerID 12"}, keys.arguments);
    ASSERT_TRUE(formMatchKeys("game.exe", "D:\\srv\\game.exe", keys));
    EXPECT_EQ("game.exe", keys.exeName);
    // "game.EXE" keeps its own text and gets ".exe": the search then fails.
    EXPECT_FALSE(formMatchKeys("game.EXE", "D:\\srv\\game.EXE", keys));
    EXPECT_FALSE(formMatchKeys("Game.exe", "D:\\srv\\game.exe", keys));
}

// What a health rule's exec probe names in its result: backslashes are
// folder separators, not the escapes of a POSIX shell's words.
TEST(Win32CommandLineTest, TheProgramFileNameIsTheLastPartOfTheFirstWordOrOfTheQuotedOne) {
    EXPECT_EQ("check.exe", platform::programFileName("C:\\ops\\check.exe --quick"));
    EXPECT_EQ("check.exe", platform::programFileName("  \"C:\\my ops\\check.exe\" --quick"));
    EXPECT_EQ("check.bat", platform::programFileName("D:/ops/check.bat"));
    EXPECT_EQ("check.exe", platform::programFileName("C:check.exe -x"));
    EXPECT_EQ("check", platform::programFileName("check"));
    // A folder alone names no program: the line is shown as it is.
    EXPECT_EQ("C:\\ops\\", platform::programFileName("C:\\ops\\"));
}
