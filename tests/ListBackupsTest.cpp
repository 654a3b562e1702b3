// The generations of the server list kept before each rewrite: how many,
// in which order, under which names, and bringing one back.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/ListBackups.h"
#include "config/ServerList.h"
#include "config/SettingsFile.h"
#include "log/AppLogger.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;

const char* const kFile = "serverinfo.json";
const char* const kCopies = "serverinfo.json.bak";

std::string entry(int n) {
    return R"({"name":"s)" + std::to_string(n) + R"(","processname":"p","commandline":"/srv/p )" + std::to_string(n) +
           R"("})";
}

class ListBackupsTest : public ::testing::Test {
protected:
    TempDir dir;
    ScopedWorkingDirectory cwd{dir.path()};
    ServerList list;

    void SetUp() override {
        std::filesystem::create_directory("logs");
        ASSERT_TRUE(AppLogger::Instance().Init());
    }
    std::vector<ListBackups::Generation> generations() const { return list.backups().generations(); }
    // Adds servers s1 .. sN, one rewrite each, to a list that starts empty:
    // after add k the file holds k servers, its copy k - 1.
    void addServers(int from, int to) {
        for (int n = from; n <= to; ++n)
            ASSERT_TRUE(list.add("s" + std::to_string(n), "p", "/srv/p " + std::to_string(n)).ok);
    }
    static std::size_t filesIn(const std::string& directory) {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& file : std::filesystem::directory_iterator(directory)) ++n;
        return n;
    }
};

TEST_F(ListBackupsTest, TwentyGenerationsAreKeptNewestFirstAndAnyOneOfThemComesBack) {
    writeFile(kFile, "[]");
    addServers(1, 25);
    // 25 rewrites, 20 copies: the lists of 24 servers down to 5.
    const std::vector<ListBackups::Generation> kept = generations();
    ASSERT_EQ(20u, kept.size());
    EXPECT_EQ(20u, filesIn(kCopies));
    for (std::size_t i = 0; i < kept.size(); ++i) {
        EXPECT_EQ(static_cast<int>(i + 1), kept[i].number);
        EXPECT_EQ(24 - static_cast<int>(i), kept[i].servers) << i;
        if (i > 0) {
            EXPECT_LT(kept[i].made, kept[i - 1].made);
        }
        // Each is named after its moment, and its name says it again.
        std::chrono::system_clock::time_point made;
        const std::string name = std::filesystem::path(kept[i].path).filename().string();
        ASSERT_TRUE(ListBackups::madeAt(name, made)) << name;
        EXPECT_EQ(kept[i].made, made);
        EXPECT_EQ(name, ListBackups::nameAt(made));
    }
    // Made just now, not at some other time.
    EXPECT_LT(std::chrono::system_clock::now() - kept.back().made, 10min);

    // Copy 7 holds 18 servers; bringing it back keeps the 25 as copy 1.
    const std::string seventh = readFile(kept[6].path);
    ASSERT_TRUE(list.restore(7).ok);
    EXPECT_EQ(seventh, readFile(kFile));
    ASSERT_TRUE(list.load().ok);
    ASSERT_EQ(18u, list.entries().size());
    EXPECT_EQ("s18", list.entries().back().name);
    const std::vector<ListBackups::Generation> after = generations();
    ASSERT_EQ(20u, after.size());
    EXPECT_EQ(25, after[0].servers);
    EXPECT_EQ(24, after[1].servers);
    // And that can be undone the same way.
    ASSERT_TRUE(list.restore(1).ok);
    ASSERT_TRUE(list.load().ok);
    EXPECT_EQ(25u, list.entries().size());
}

TEST_F(ListBackupsTest, HowManyAreKeptIsTheSettingAndNoneKeepsNoCopy) {
    writeFile(dir.file("procward.ini"), "[GENERAL]\nLIST_BACKUPS=3\n");
    std::vector<std::string> warnings;
    EXPECT_EQ(3, LoadSettings(dir.file("procward.ini"), warnings).general.listBackups);
    EXPECT_EQ(20, LoadSettings(dir.file("missing.ini"), warnings).general.listBackups);
    writeFile(dir.file("procward.ini"), "[GENERAL]\nLIST_BACKUPS=5000\n");
    warnings.clear();
    EXPECT_EQ(1000, LoadSettings(dir.file("procward.ini"), warnings).general.listBackups);
    ASSERT_EQ(1u, warnings.size());
    EXPECT_NE(std::string::npos, warnings[0].find("LIST_BACKUPS=5000")) << warnings[0];

    writeFile(kFile, "[]");
    list.setBackupsKept(3);
    addServers(1, 6);
    std::vector<ListBackups::Generation> kept = generations();
    ASSERT_EQ(3u, kept.size());
    EXPECT_EQ(5, kept[0].servers);
    EXPECT_EQ(3, kept[2].servers);

    // A file of another name in the directory is the operator's: left alone,
    // and not counted as a copy.
    writeFile(std::string(kCopies) + "/notes.txt", "mine");
    list.setBackupsKept(0);
    addServers(7, 7);
    EXPECT_TRUE(generations().empty());
    EXPECT_EQ("mine", readFile(std::string(kCopies) + "/notes.txt"));
    EXPECT_EQ(1u, filesIn(kCopies));
}

TEST_F(ListBackupsTest, ANewCopyIsTheNewestEvenWhenTheClockWentBack) {
    writeFile(kFile, "[" + entry(1) + "]");
    std::filesystem::create_directory(kCopies);
    // Made "in the future" by a clock that has since been set back.
    const auto future = std::chrono::system_clock::now() + 24h;
    writeFile(std::string(kCopies) + "/" + ListBackups::nameAt(future), "[]");
    addServers(2, 2);
    const std::vector<ListBackups::Generation> kept = generations();
    ASSERT_EQ(2u, kept.size());
    EXPECT_EQ(1, kept[0].servers);
    EXPECT_GT(kept[0].made, future);
    EXPECT_EQ(0, kept[1].servers);
}

TEST_F(ListBackupsTest, NamesThatAreNoMomentAreNotCopies) {
    std::chrono::system_clock::time_point made;
    for (const char* name : {"20261310-115119.123.json", "20261210-115119.123.txt", "2026121-115119.123.json",
                             "20261210-245119.123.json", "x0261210-115119.123.json", "20261210-115119.123.json~"})
        EXPECT_FALSE(ListBackups::madeAt(name, made)) << name;
    ASSERT_TRUE(ListBackups::madeAt("20261210-115119.123.json", made));
    EXPECT_EQ("20261210-115119.123.json", ListBackups::nameAt(made));
    EXPECT_EQ(1796903479123LL, std::chrono::duration_cast<std::chrono::milliseconds>(made.time_since_epoch()).count());
}

TEST_F(ListBackupsTest, ACopyThatIsNoListOrNotThereIsNotRestored) {
    const std::string current = "[" + entry(1) + "," + entry(2) + "]";
    writeFile(kFile, current);
    ListResult result = list.restore(1);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ("no copy of serverinfo.json is kept", result.error);

    std::filesystem::create_directory(kCopies);
    writeFile(std::string(kCopies) + "/" + ListBackups::nameAt(std::chrono::system_clock::now()), "[{\"name\":");
    ASSERT_EQ(1u, generations().size());
    EXPECT_EQ(-1, generations()[0].servers);
    result = list.restore(1);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(0u, result.error.find("serverinfo.json.bak/")) << result.error;
    EXPECT_NE(std::string::npos, result.error.find("is not a server list (line 1")) << result.error;
    result = list.restore(2);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ("no copy 2 of serverinfo.json (there are 1)", result.error);
    EXPECT_EQ(current, readFile(kFile));
    EXPECT_EQ(1u, generations().size());

    // With no list at all, a copy is simply written.
    std::filesystem::remove(kFile);
    writeFile(std::string(kCopies) + "/" + ListBackups::nameAt(std::chrono::system_clock::now() + 1s), current);
    ASSERT_TRUE(list.restore(1).ok);
    EXPECT_EQ(current, readFile(kFile));
    EXPECT_EQ(2u, generations().size());
}

}  // namespace
