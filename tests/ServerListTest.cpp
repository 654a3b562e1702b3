#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/ServerList.h"
#include "log/AppLogger.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TempDir.h"

namespace {

const char* const kFile = "serverinfo.json";
const char* const kOpenError = "[ERROR]: Failed to open serverinfo.json.\r\n";
const char* const kParseError = "[ERROR]: Parsing serverinfo.json error!\r\n";

// A, then B lacking "commandline", then C.
const char* const kABC =
    R"([{"name":"A","processname":"a","commandline":"/srv/a/a -x"},)"
    R"({"name":"B","processname":"b","extra":1},)"
    R"({"name":"C","processname":"c","commandline":"/srv/c/c"}])";

class ServerListTest : public ::testing::Test {
protected:
    TempDir dir;
    ScopedWorkingDirectory cwd{dir.path()};
    ServerList list;

    void SetUp() override {
        ASSERT_EQ(0, ::mkdir("logs", 0777));
        ASSERT_TRUE(AppLogger::Instance().Init());
    }

    static std::string logText() {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char date[16];
        std::strftime(date, sizeof date, "%Y%m%d", &local);
        return readFile("logs/" + AppLogger::applicationName() + "_" + date + ".log");
    }
    static std::size_t count(const std::string& text, const std::string& part) {
        std::size_t n = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }
    std::vector<std::int32_t> indexes() {
        std::vector<std::int32_t> keys;
        for (const auto& [index, server] : list.servers()) {
            EXPECT_EQ(index, server.info.index);
            keys.push_back(index);
        }
        return keys;
    }
    // Writes the list, then reads it back as the window does after a change.
    void saveAndReload() {
        list.SaveServerInfo();
        list.LoadServerInfo();
    }
};

// --- reading ---

TEST_F(ServerListTest, HandWrittenFileIsReadWhateverTheKeyOrderAndLayout) {
    writeFile(kFile,
              "[\r\n  {\r\n    \"commandline\" : \"/srv/gate/gate -p 1\",\r\n    \"processname\":\"gate\",\n"
              "\t\"name\": \"Gate\", \"note\": [1, {}]\n  }\n]\n");
    list.LoadServerInfo();
    ASSERT_EQ(std::vector<std::int32_t>{1}, indexes());
    const ServerInfo& info = list.servers().at(1).info;
    EXPECT_EQ("Gate", info.name);
    EXPECT_EQ("gate", info.processname);
    EXPECT_EQ("/srv/gate/gate -p 1", info.commandline);
    EXPECT_EQ(0, info.pid);
    EXPECT_EQ("", info.ports);
    EXPECT_EQ(0, info.startTime);
    EXPECT_TRUE(list.servers().at(1).autoStart);

    list.SaveServerInfo();
    EXPECT_EQ(R"([{"commandline":"/srv/gate/gate -p 1","processname":"gate","name":"Gate","note":[1,{}]}])",
              readFile(kFile));
}

TEST_F(ServerListTest, SkippedElementsKeepTheirPositions) {
    writeFile(kFile,
              R"([{"name":"A","processname":"a","commandline":"a"},)"
              R"({"name":"B","processname":"b"},)"
              R"(5, "text", null, [], )"
              R"({"name":1,"processname":"x","commandline":"x"},)"
              R"({"Name":"x","processname":"x","commandline":"x"},)"
              R"({"name":"x","processname":"x","commandline":null},)"
              R"({"name":"C","processname":"c","commandline":"c"}])");
    list.LoadServerInfo();
    EXPECT_EQ((std::vector<std::int32_t>{1, 10}), indexes());
    EXPECT_EQ("C", list.servers().at(10).info.name);
    EXPECT_EQ(2, liveServerCount);
    list.LoadServerInfo();  // every load makes its records anew
    EXPECT_EQ(2, liveServerCount);
    EXPECT_EQ(0u, count(logText(), "[ERROR]"));
}

TEST_F(ServerListTest, FirstOfDuplicateKeysCounts) {
    writeFile(kFile,
              R"([{"name":"first","name":"second","processname":"p","commandline":"c"},)"
              R"({"name":"N","processname":7,"processname":"later string","commandline":"c"}])");
    list.LoadServerInfo();
    ASSERT_EQ(std::vector<std::int32_t>{1}, indexes());
    EXPECT_EQ("first", list.servers().at(1).info.name);
}

TEST_F(ServerListTest, EmptyArrayGivesNoServersAndNoLogLine) {
    writeFile(kFile, "[]");
    list.LoadServerInfo();
    EXPECT_TRUE(list.servers().empty());
    EXPECT_EQ("", logText());
}

TEST_F(ServerListTest, RootThatIsNotAnArrayGivesNoServersSilently) {
    writeFile(kFile, R"({"name":"A","processname":"a","commandline":"a"})");
    list.LoadServerInfo();
    EXPECT_TRUE(list.servers().empty());
    EXPECT_EQ("", logText());
}

TEST_F(ServerListTest, MissingFileIsLoggedAndKeepsTheDocument) {
    writeFile(kFile, kABC);
    list.LoadServerInfo();
    ASSERT_EQ(2u, list.servers().size());
    std::filesystem::remove(kFile);

    list.LoadServerInfo();
    EXPECT_TRUE(list.servers().empty());
    EXPECT_EQ(1u, count(logText(), kOpenError));
    list.SaveServerInfo();
    EXPECT_EQ(kABC, readFile(kFile));
}

TEST_F(ServerListTest, MalformedFilesAreLoggedAndKeepTheDocument) {
    writeFile(kFile, kABC);
    list.LoadServerInfo();
    const std::vector<std::string> malformed = {
        "",
        "   \n",
        R"([{"name":"A","processname":"a","commandline":"a"},])",
        "[] // comment",
        "[][]",
        "[{'name':'A'}]",
        "\xEF\xBB\xBF[]",
        std::string("[]\0[1,", 6),
        "[{\"name\":\"A\",\"processname\":\"a\",\"commandline\":\"a\"}",
    };
    for (const std::string& bytes : malformed) {
        writeFile(kFile, bytes);
        list.LoadServerInfo();
        EXPECT_TRUE(list.servers().empty()) << bytes;
    }
    EXPECT_EQ(malformed.size(), count(logText(), kParseError));

    list.SaveServerInfo();  // the document is still the last good list
    EXPECT_EQ(kABC, readFile(kFile));
}

TEST_F(ServerListTest, BytesPassThroughUnescaped) {
    const std::string gbk = "\xB2\xE2\xCA\xD4";  // 测试 in GBK, not valid UTF-8
    writeFile(kFile, "[{\"name\":\"测试\",\"processname\":\"" + gbk + "\",\"commandline\":\"/opt/x/y\\/z\"}]");
    list.LoadServerInfo();
    ASSERT_EQ(1u, list.servers().size());
    EXPECT_EQ("测试", list.servers().at(1).info.name);
    EXPECT_EQ(gbk, list.servers().at(1).info.processname);
    EXPECT_EQ("/opt/x/y/z", list.servers().at(1).info.commandline);

    list.SaveServerInfo();
    EXPECT_EQ("[{\"name\":\"测试\",\"processname\":\"" + gbk + "\",\"commandline\":\"/opt/x/y/z\"}]", readFile(kFile));
}

TEST_F(ServerListTest, BackslashesAndQuotesRoundTripEscaped) {
    const std::string commandline = "C:\\srv\\game server\\game.exe /Name \"main\"\t-v";
    list.addServer("Game", "game.exe", commandline);
    saveAndReload();
    EXPECT_EQ(R"([{"name":"Game","processname":"game.exe","commandline":"C:\\srv\\game server\\game.exe /Name \"main\"\t-v"}])",
              readFile(kFile));
    ASSERT_EQ(1u, list.servers().size());
    EXPECT_EQ(commandline, list.servers().at(1).info.commandline);
}

// --- the changes the window makes ---

TEST_F(ServerListTest, AddAppendsOneCompactElement) {
    writeFile(kFile, "[ {\"name\" : \"A\", \"processname\":\"a\", \"commandline\":\"a\", \"x\":true},\n 7 ]\n");
    list.LoadServerInfo();
    list.addServer("N", "n", "/srv/n/n --port 9");
    saveAndReload();
    EXPECT_EQ(
        R"([{"name":"A","processname":"a","commandline":"a","x":true},7,{"name":"N","processname":"n","commandline":"/srv/n/n --port 9"}])",
        readFile(kFile));
    EXPECT_EQ((std::vector<std::int32_t>{1, 3}), indexes());
    EXPECT_EQ("N", list.servers().at(3).info.name);
}

TEST_F(ServerListTest, DeletingTheThirdOfABCErasesCKeepingTheSkippedB) {
    writeFile(kFile, kABC);
    list.LoadServerInfo();
    ASSERT_EQ((std::vector<std::int32_t>{1, 3}), indexes());
    list.eraseRow(3);
    saveAndReload();
    EXPECT_EQ(R"([{"name":"A","processname":"a","commandline":"/srv/a/a -x"},{"name":"B","processname":"b","extra":1}])",
              readFile(kFile));
    EXPECT_EQ(std::vector<std::int32_t>{1}, indexes());
}

TEST_F(ServerListTest, DeletingTheFirstMovesTheOthersUp) {
    writeFile(kFile, kABC);
    list.LoadServerInfo();
    list.eraseRow(1);
    saveAndReload();
    EXPECT_EQ(R"([{"name":"B","processname":"b","extra":1},{"name":"C","processname":"c","commandline":"/srv/c/c"}])",
              readFile(kFile));
    EXPECT_EQ(std::vector<std::int32_t>{2}, indexes());
}

TEST_F(ServerListTest, DeletingAPositionBeyondTheArrayChangesNothing) {
    writeFile(kFile, kABC);
    list.LoadServerInfo();
    list.eraseRow(4);
    list.eraseRow(0);
    list.eraseRow(-1);
    saveAndReload();
    EXPECT_EQ(kABC, readFile(kFile));
}

TEST_F(ServerListTest, EditRewritesTheRecordsDenselyInIndexOrder) {
    writeFile(kFile, kABC);
    list.LoadServerInfo();
    list.servers().at(3).info.name = "C2";
    list.servers().at(3).info.commandline = "/srv/c/c --new";
    list.rebuildFromRecords();
    saveAndReload();
    EXPECT_EQ(
        R"([{"name":"A","processname":"a","commandline":"/srv/a/a -x"},{"name":"C2","processname":"c","commandline":"/srv/c/c --new"}])",
        readFile(kFile));
    EXPECT_EQ((std::vector<std::int32_t>{1, 2}), indexes());
    EXPECT_EQ("C2", list.servers().at(2).info.name);
}

TEST_F(ServerListTest, DeleteAllLeavesAnEmptyArray) {
    writeFile(kFile, kABC);
    list.LoadServerInfo();
    list.eraseAll();
    saveAndReload();
    EXPECT_EQ("[]", readFile(kFile));
    EXPECT_TRUE(list.servers().empty());
}

TEST_F(ServerListTest, ChangesWithoutAnArrayStartANewOne) {
    list.LoadServerInfo();  // no file: the document holds nothing
    list.addServer("A", "a", "a");
    saveAndReload();
    EXPECT_EQ(R"([{"name":"A","processname":"a","commandline":"a"}])", readFile(kFile));
    EXPECT_EQ(std::vector<std::int32_t>{1}, indexes());

    const std::vector<void (*)(ServerList&)> changes = {
        [](ServerList& l) { l.eraseRow(1); },
        [](ServerList& l) { l.eraseAll(); },
        [](ServerList& l) { l.rebuildFromRecords(); },
    };
    for (const auto& change : changes) {
        writeFile(kFile, R"({"name":"A","processname":"a","commandline":"a"})");
        list.LoadServerInfo();
        change(list);
        list.SaveServerInfo();
        EXPECT_EQ("[]", readFile(kFile));
    }
}

TEST_F(ServerListTest, FailedWriteLeavesTheOldListAndNoStrayFile) {
    writeFile(kFile, kABC);
    list.LoadServerInfo();
    list.addServer(std::string(300, 'n'), "n", "n");
    {
        FileSizeLimit limit(200);  // shorter than the new list
        list.SaveServerInfo();
    }
    EXPECT_EQ(kABC, readFile(kFile));
    list.LoadServerInfo();
    EXPECT_EQ((std::vector<std::int32_t>{1, 3}), indexes());
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(".")) ++entries;
    EXPECT_EQ(2u, entries);  // the list and logs/
}

}  // namespace
