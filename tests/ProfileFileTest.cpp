#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "config/ProfileFile.h"
#include "tests/support/TempDir.h"

namespace {

class ProfileFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("test.ini");

    ProfileFile fileHolding(const std::string& bytes) {
        writeFile(path, bytes);
        return ProfileFile(path);
    }
    static unsigned modeOf(const std::string& file) {
        struct stat st {};
        return ::stat(file.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFFu;
    }
};

// --- reading ---

TEST_F(ProfileFileTest, SectionAndKeyNamesMatchWithoutRegardToCase) {
    const auto file = fileHolding("[General]\ncheck_Svr_Status_Interval=10\n[alert_mail]\nSmtp_Server=mx\n");
    EXPECT_EQ(10, file.getInt("GENERAL", "CHECK_SVR_STATUS_INTERVAL", 3));
    EXPECT_EQ("mx", file.getString("ALERT_MAIL", "SMTP_SERVER", "", 256));
}

TEST_F(ProfileFileTest, KeysBelongOnlyToTheirOwnSection) {
    const auto file = fileHolding("ORPHAN=1\n[A]\nX=1\n[B]\nY=2\n");
    EXPECT_EQ(-1, file.getInt("A", "ORPHAN", -1));
    EXPECT_EQ(-1, file.getInt("A", "Y", -1));
    EXPECT_EQ(-1, file.getInt("B", "X", -1));
    EXPECT_EQ(2, file.getInt("B", "Y", -1));
    EXPECT_EQ("dflt", file.getString("C", "X", "dflt", 256));
}

TEST_F(ProfileFileTest, BlanksAroundNamesAndValuesAreDropped) {
    const auto file = fileHolding("  [ A ]  \n\t KEY \t=  two words \t\nN =  42  \n");
    EXPECT_EQ("two words", file.getString("A", "KEY", "", 256));
    EXPECT_EQ(42, file.getInt("A", "N", 0));
}

TEST_F(ProfileFileTest, OnePairOfEnclosingQuotesIsRemoved) {
    const auto file = fileHolding(
        "[A]\n"
        "D=\"  padded  \"\n"
        "S='single'\n"
        "TWICE=\"\"x\"\"\n"
        "MIXED=\"x'\n"
        "LONE=\"\n"
        "EMPTY=\"\"\n"
        "INNER=a\"b\"c\n"
        "NUM=\"17\"\n"
        "QNUM=' -3 '\n");
    EXPECT_EQ("  padded  ", file.getString("A", "D", "", 256));
    EXPECT_EQ("single", file.getString("A", "S", "", 256));
    EXPECT_EQ("\"x\"", file.getString("A", "TWICE", "", 256));
    EXPECT_EQ("\"x'", file.getString("A", "MIXED", "", 256));
    EXPECT_EQ("\"", file.getString("A", "LONE", "", 256));
    EXPECT_EQ("", file.getString("A", "EMPTY", "dflt", 256));
    EXPECT_EQ("a\"b\"c", file.getString("A", "INNER", "", 256));
    EXPECT_EQ(17, file.getInt("A", "NUM", 0));
    EXPECT_EQ(-3, file.getInt("A", "QNUM", 0));
}

TEST_F(ProfileFileTest, ValuesAreCutToTheBufferLessItsTerminatingZero) {
    const auto file = fileHolding("[A]\nLONG=" + std::string(300, 'm') + "\nEXACT=" + std::string(255, 'e') + "\n");
    EXPECT_EQ(std::string(255, 'm'), file.getString("A", "LONG", "", 256));
    EXPECT_EQ(std::string(255, 'e'), file.getString("A", "EXACT", "", 256));
    EXPECT_EQ("", file.getString("A", "LONG", "", 0));
    EXPECT_EQ(std::string(31, 'd'), file.getString("A", "ABSENT", std::string(40, 'd'), 32));
}

TEST_F(ProfileFileTest, CutNeverEndsInsideAMultiByteCharacter) {
    // 30 ASCII bytes, then "测" (3 bytes) straddling the 31-byte limit.
    const auto file = fileHolding("[A]\nK=" + std::string(30, 'a') + "测试\n");
    EXPECT_EQ(std::string(30, 'a'), file.getString("A", "K", "", 32));
    EXPECT_EQ(std::string(30, 'a') + "测", file.getString("A", "K", "", 34));
}

TEST_F(ProfileFileTest, IntegersComeFromTheLeadingDigitsWithAnOptionalSign) {
    const auto file = fileHolding(
        "[A]\nNEG=-7\nPLUS=+12\nTRAIL=12abc\nGARBAGE=abc\nEMPTY=\nSIGN=-\nWRAP=4294967295\nMAX=2147483647\nZERO=0\n");
    EXPECT_EQ(-7, file.getInt("A", "NEG", 3));
    EXPECT_EQ(12, file.getInt("A", "PLUS", 3));
    EXPECT_EQ(12, file.getInt("A", "TRAIL", 3));
    EXPECT_EQ(0, file.getInt("A", "GARBAGE", 3));
    EXPECT_EQ(0, file.getInt("A", "EMPTY", 3));
    EXPECT_EQ(0, file.getInt("A", "SIGN", 3));
    EXPECT_EQ(-1, file.getInt("A", "WRAP", 3));
    EXPECT_EQ(2147483647, file.getInt("A", "MAX", 3));
    EXPECT_EQ(0, file.getInt("A", "ZERO", 3));
    EXPECT_EQ(3, file.getInt("A", "ABSENT", 3));
}

TEST_F(ProfileFileTest, CrLfAndLfLineEndsAreBothRead) {
    const auto file = fileHolding("[A]\r\nX=crlf\r\nY=lf\nZ=last");
    EXPECT_EQ("crlf", file.getString("A", "X", "", 256));
    EXPECT_EQ("lf", file.getString("A", "Y", "", 256));
    EXPECT_EQ("last", file.getString("A", "Z", "", 256));
}

TEST_F(ProfileFileTest, FirstOfDuplicateKeysAndSectionsCounts) {
    const auto file = fileHolding("[A]\nK=first\nk=second\n[B]\n[a]\nK=third\nONLY_LATER=1\n");
    EXPECT_EQ("first", file.getString("A", "K", "", 256));
    EXPECT_EQ(9, file.getInt("A", "ONLY_LATER", 9));
}

TEST_F(ProfileFileTest, CommentsAndLinesWithoutEqualsAreNoKeys) {
    const auto file = fileHolding("\xEF\xBB\xBF[A]\n;K=commented\nK\nV=a=b\n=nameless\n");
    EXPECT_EQ("dflt", file.getString("A", "K", "dflt", 256));
    EXPECT_EQ("a=b", file.getString("A", "V", "", 256));
    EXPECT_EQ("dflt", file.getString("A", "", "dflt", 256));
}

// --- writing ---

TEST_F(ProfileFileTest, UpdateRewritesOnlyTheKeysLineKeepingCrLfAndForeignLines) {
    const std::string before =
        "; settings\r\n[GENERAL]\r\n  check_svr_status_interval = 3\r\nCUSTOM=keep me\r\n\r\n[ALERT_MAIL]\r\nSMTP_SERVER=old\r\n";
    auto file = fileHolding(before);
    file.setString("general", "CHECK_SVR_STATUS_INTERVAL", "10");
    file.setString("ALERT_MAIL", "smtp_server", "new.example.com");
    ASSERT_TRUE(file.save());
    EXPECT_EQ(
        "; settings\r\n[GENERAL]\r\n  check_svr_status_interval =10\r\nCUSTOM=keep me\r\n\r\n[ALERT_MAIL]\r\nSMTP_SERVER=new.example.com\r\n",
        readFile(path));
}

TEST_F(ProfileFileTest, OnlyTheFirstOfDuplicateKeysIsUpdated) {
    auto file = fileHolding("[A]\nK=1\nK=2\n");
    file.setString("A", "K", "9");
    ASSERT_TRUE(file.save());
    EXPECT_EQ("[A]\nK=9\nK=2\n", readFile(path));
}

TEST_F(ProfileFileTest, MissingKeyJoinsTheEndOfItsSection) {
    auto file = fileHolding("[A]\nX=1\n; note\n\n[B]\nY=2\n");
    file.setString("a", "NEW", "v");
    ASSERT_TRUE(file.save());
    EXPECT_EQ("[A]\nX=1\n; note\nNEW=v\n\n[B]\nY=2\n", readFile(path));
    EXPECT_EQ("v", ProfileFile(path).getString("A", "NEW", "", 256));
}

TEST_F(ProfileFileTest, MissingSectionIsAppendedInTheFilesLineEndStyle) {
    auto file = fileHolding("[A]\r\nX=1");  // no line end after the last line
    file.setString("B", "Y", "2");
    file.setString("B", "Z", "3");
    ASSERT_TRUE(file.save());
    EXPECT_EQ("[A]\r\nX=1\r\n[B]\r\nY=2\r\nZ=3\r\n", readFile(path));
}

TEST_F(ProfileFileTest, NewFileIsCreatedForItsOwnerOnly) {
    ProfileFile file(path);
    file.setString("A", "PASSWORD", "secret");
    ASSERT_TRUE(file.save());
    EXPECT_EQ("[A]\nPASSWORD=secret\n", readFile(path));
    EXPECT_EQ(0600u, modeOf(path));
}

TEST_F(ProfileFileTest, ExistingFileKeepsItsPermissions) {
    writeFile(path, "[A]\nK=1\n");
    ASSERT_EQ(0, ::chmod(path.c_str(), 0640));
    ProfileFile file(path);
    file.setString("A", "K", "2");
    ASSERT_TRUE(file.save());
    EXPECT_EQ("[A]\nK=2\n", readFile(path));
    EXPECT_EQ(0640u, modeOf(path));
}

TEST_F(ProfileFileTest, ValuesAreWrittenUntrimmedAndReadBackTrimmed) {
    ProfileFile file(path);
    file.setString("A", "K", "  spaced  ");
    file.setString("A", "E", "");
    ASSERT_TRUE(file.save());
    EXPECT_EQ("[A]\nK=  spaced  \nE=\n", readFile(path));
    EXPECT_EQ("spaced", ProfileFile(path).getString("A", "K", "", 256));
    EXPECT_EQ("", ProfileFile(path).getString("A", "E", "dflt", 256));
}

TEST_F(ProfileFileTest, LineBreaksInAValueCannotAddKeysOrSections) {
    ProfileFile file(path);
    file.setString("A", "MAILTO", "a@x\r\n[GENERAL]\nCHECK=0");
    ASSERT_TRUE(file.save());
    EXPECT_EQ("[A]\nMAILTO=a@x[GENERAL]CHECK=0\n", readFile(path));
}

TEST_F(ProfileFileTest, SettingTheSameValueLeavesTheFileAlone) {
    writeFile(path, "[A]\nK = v\n");
    struct stat before {};
    ASSERT_EQ(0, ::stat(path.c_str(), &before));
    ProfileFile file(path);
    file.setString("A", "K", " v");
    EXPECT_TRUE(file.save());
    EXPECT_EQ("[A]\nK = v\n", readFile(path));
    struct stat after {};
    ASSERT_EQ(0, ::stat(path.c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);  // not replaced by a new file
}

TEST_F(ProfileFileTest, UnreadableExistingFileIsNeverOverwritten) {
    ASSERT_EQ(0, ::mkdir(path.c_str(), 0700));  // a directory where the file should be
    ProfileFile file(path);
    file.setString("A", "K", "1");
    EXPECT_FALSE(file.save());
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

}  // namespace
