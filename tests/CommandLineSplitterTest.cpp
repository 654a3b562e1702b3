#include <gtest/gtest.h>

#include "platform/CommandLineSplitter.h"

using platform::CommandLineSplitter;
using Words = std::vector<std::string>;

namespace {

Words split(const std::string& line) {
    Words words{"left over"};
    EXPECT_EQ(CommandLineSplitter::Result::Ok, CommandLineSplitter::split(line, words)) << line;
    return words;
}

bool unbalanced(const std::string& line) {
    Words words;
    return CommandLineSplitter::split(line, words) == CommandLineSplitter::Result::Unbalanced;
}

}  // namespace

TEST(CommandLineSplitterTest, BlanksSeparateWordsAndRunsOfThemCountOnce) {
    EXPECT_EQ((Words{"/opt/gs/gs", "-c", "gs.cfg"}), split("/opt/gs/gs -c gs.cfg"));
    EXPECT_EQ((Words{"a", "b", "c", "d"}), split("  a \t b\t\tc \r\n d  "));
    EXPECT_EQ((Words{"prog"}), split("prog"));
}

TEST(CommandLineSplitterTest, EmptyOrBlankLineHasNoWords) {
    EXPECT_TRUE(split("").empty());
    EXPECT_TRUE(split(" \t  \n").empty());
}

TEST(CommandLineSplitterTest, SingleQuotesKeepEverythingLiterally) {
    EXPECT_EQ((Words{"prog", "a b\tc", "x\\y", "\"q\"", "$HOME *"}),
              split(R"(prog 'a b	c' 'x\y' '"q"' '$HOME *')"));
}

TEST(CommandLineSplitterTest, DoubleQuotesGroupAndEscapeOnlyTheirSpecialCharacters) {
    EXPECT_EQ((Words{"prog", "a b", "say \"hi\"", "back\\slash", "c:\\dir\\x", "$x `y`", "it's"}),
              split(R"(prog "a b" "say \"hi\"" "back\\slash" "c:\dir\x" "\$x \`y\`" "it's")"));
}

TEST(CommandLineSplitterTest, BackslashOutsideQuotesTakesTheNextCharacter) {
    EXPECT_EQ((Words{"my prog", "a\"b", "c'd", "e\\f", "gh"}), split(R"(my\ prog a\"b c\'d e\\f g\h)"));
    EXPECT_EQ((Words{"a\tb"}), split("a\\\tb"));
}

TEST(CommandLineSplitterTest, BackslashNewlineJoinsAndTrailingBackslashStays) {
    EXPECT_EQ((Words{"ab", "c"}), split("a\\\nb c"));
    EXPECT_EQ((Words{"a", "b"}), split("a \\\n b"));
    EXPECT_EQ((Words{"ab"}), split("\"a\\\nb\""));
    EXPECT_EQ((Words{"end\\"}), split("end\\"));
}

TEST(CommandLineSplitterTest, AdjacentPartsFormOneWord) {
    EXPECT_EQ((Words{"--name=a b'c", "xyz"}), split(R"(--name="a b"\'c x'y'"z")"));
    EXPECT_EQ((Words{"/opt/my server/bin/gs", "--id", "11"}), split(R"(/opt/"my server"/bin/gs --id 11)"));
}

TEST(CommandLineSplitterTest, EmptyQuotesMakeEmptyWords) {
    EXPECT_EQ((Words{"prog", "", "x", ""}), split(R"(prog "" x '')"));
    EXPECT_EQ((Words{""}), split("''"));
    EXPECT_EQ((Words{"ab"}), split(R"(a""b)"));
}

TEST(CommandLineSplitterTest, NothingIsExpandedOrInterpreted) {
    EXPECT_EQ((Words{"echo", "$HOME", "*", "~", ";", "a|b", ">out", "#c", "&"}),
              split("echo $HOME * ~ ; a|b >out #c &"));
}

TEST(CommandLineSplitterTest, UnclosedQuotesAreRejected) {
    EXPECT_TRUE(unbalanced("prog \"a b"));
    EXPECT_TRUE(unbalanced("prog 'a b"));
    EXPECT_TRUE(unbalanced("prog \"a\\\""));         // the closing quote is escaped
    EXPECT_TRUE(unbalanced("prog 'it\\'s'"));        // no escapes inside single quotes
    EXPECT_TRUE(unbalanced("\"'\"'"));
    EXPECT_FALSE(unbalanced("prog \\\" \\'"));       // escaped quotes open nothing
    EXPECT_FALSE(unbalanced("prog \"'\" '\"'"));     // each kind inside the other
}
