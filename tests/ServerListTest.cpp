#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/ListResult.h"
#include "config/ServerList.h"
#include "log/AppLogger.h"
#include "tests/support/TempDir.h"
#include "tests/support/TodaysLog.h"

namespace {

const char* const kFile = "serverinfo.json";
const char* const kOpenError = "[ERROR]: Failed to open serverinfo.json.\r\n";
const char* const kParseError = "[ERROR]: Parsing serverinfo.json error! serverinfo.json: line ";

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

    static std::string logText() { return readFile(todaysLogFile()); }
    static std::size_t count(const std::string& text, const std::string& part) {
        std::size_t n = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }
    const ServerEntry& entry(std::int32_t index) {
        for (const ServerEntry& e : list.entries())
            if (e.index == index) return e;
        throw std::out_of_range("no entry " + std::to_string(index));
    }
    std::vector<std::int32_t> indexes() {
        std::vector<std::int32_t> keys;
        for (const ServerEntry& entry : list.entries()) keys.push_back(entry.index);
        return keys;
    }
};

// --- reading ---

TEST_F(ServerListTest, HandWrittenFileIsReadWhateverTheKeyOrderAndLayout) {
    writeFile(kFile,
              "[\r\n  {\r\n    \"commandline\" : \"/srv/gate/gate -p 1\",\r\n    \"processname\":\"gate\",\n"
              "\t\"name\": \"Gate\", \"note\": [1, {}]\n  }\n]\n");
    list.load();
    ASSERT_EQ(std::vector<std::int32_t>{1}, indexes());
    const ServerEntry& info = entry(1);
    EXPECT_EQ("Gate", info.name);
    EXPECT_EQ("gate", info.processname);
    EXPECT_EQ("/srv/gate/gate -p 1", info.commandline);
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
    list.load();
    EXPECT_EQ((std::vector<std::int32_t>{1, 10}), indexes());
    EXPECT_EQ("C", entry(10).name);
    const ListResult result = list.load();  // every load reads the entries anew
    EXPECT_TRUE(result.ok);
    EXPECT_EQ((std::vector<std::int32_t>{1, 10}), indexes());
    EXPECT_EQ(0u, count(logText(), "[ERROR]"));

    // Each skipped element is named by its position, and by its name where
    // it has one, on every load.
    const std::vector<std::string> expected = {
        R"(serverinfo.json: entry 2 ("B") skipped: "commandline" is missing or not a string)",
        "serverinfo.json: entry 3 skipped: not an object",
        "serverinfo.json: entry 4 skipped: not an object",
        "serverinfo.json: entry 5 skipped: not an object",
        "serverinfo.json: entry 6 skipped: not an object",
        R"(serverinfo.json: entry 7 skipped: "name" is missing or not a string)",
        R"(serverinfo.json: entry 8 skipped: "name" is missing or not a string)",
        R"(serverinfo.json: entry 9 ("x") skipped: "commandline" is missing or not a string)",
    };
    EXPECT_EQ(expected, result.warnings);
    for (const std::string& warning : expected) EXPECT_EQ(2u, count(logText(), "[WARNING]: " + warning + "\r\n"));
}

TEST_F(ServerListTest, FirstOfDuplicateKeysCounts) {
    writeFile(kFile,
              R"([{"name":"first","name":"second","processname":"p","commandline":"c"},)"
              R"({"name":"N","processname":7,"processname":"later string","commandline":"c"}])");
    list.load();
    ASSERT_EQ(std::vector<std::int32_t>{1}, indexes());
    EXPECT_EQ("first", entry(1).name);
}

TEST_F(ServerListTest, EmptyArrayGivesNoServersAndNoLogLine) {
    writeFile(kFile, "[]");
    list.load();
    EXPECT_TRUE(list.entries().empty());
    EXPECT_EQ("", logText());
}

TEST_F(ServerListTest, RootThatIsNotAnArrayIsAnErrorAtTheRoot) {
    writeFile(kFile, "\n  {\"name\":\"A\",\"processname\":\"a\",\"commandline\":\"a\"}");
    const ListResult result = list.load();
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.missing);
    EXPECT_EQ("serverinfo.json: line 2, column 3: The document root must be an array.", result.error);
    EXPECT_TRUE(list.entries().empty());
    EXPECT_EQ(1u, count(logText(), "[ERROR]: Parsing serverinfo.json error! " + result.error + "\r\n"));
}

TEST_F(ServerListTest, MissingFileIsLoggedAndLeavesNoEntries) {
    writeFile(kFile, kABC);
    list.load();
    ASSERT_EQ(2u, list.entries().size());
    std::filesystem::remove(kFile);

    const ListResult result = list.load();
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.missing);
    EXPECT_EQ("Failed to open serverinfo.json.", result.error);
    EXPECT_TRUE(list.entries().empty());
    EXPECT_EQ(1u, count(logText(), kOpenError));
}

TEST_F(ServerListTest, MalformedFilesAreLoggedAndLeaveNoEntries) {
    writeFile(kFile, kABC);
    list.load();
    const std::vector<std::string> malformed = {
        "",
        "   \n",
        R"([{"name":"A","processname":"a","commandline":"a"},])",
        "[] // comment",
        "[][]",
        "[{'name':'A'}]",
        "\xEF\xBB\xBF[1,]",
        std::string("[]\0[1,", 6),
        "[{\"name\":\"A\",\"processname\":\"a\",\"commandline\":\"a\"}",
    };
    for (const std::string& bytes : malformed) {
        writeFile(kFile, bytes);
        const ListResult result = list.load();
        EXPECT_FALSE(result.ok) << bytes;
        EXPECT_TRUE(list.entries().empty()) << bytes;
    }
    EXPECT_EQ(malformed.size(), count(logText(), kParseError));
}

TEST_F(ServerListTest, BytesPassThroughUnescaped) {
    const std::string gbk = "\xB2\xE2\xCA\xD4";  // 测试 in GBK, not valid UTF-8
    writeFile(kFile, "[{\"name\":\"测试\",\"processname\":\"" + gbk + "\",\"commandline\":\"/opt/x/y\\/z\"}]");
    list.load();
    ASSERT_EQ(1u, list.entries().size());
    EXPECT_EQ("测试", entry(1).name);
    EXPECT_EQ(gbk, entry(1).processname);
    EXPECT_EQ("/opt/x/y/z", entry(1).commandline);

    // Written as they came: an ANSI code page's bytes are not \u escapes.
    std::filesystem::remove(kFile);
    ASSERT_TRUE(list.add("测试", gbk, "/opt/x/y/z").ok);
    EXPECT_EQ("[{\"name\":\"测试\",\"processname\":\"" + gbk + "\",\"commandline\":\"/opt/x/y/z\"}]", readFile(kFile));
}

TEST_F(ServerListTest, BackslashesAndQuotesRoundTripEscaped) {
    const std::string commandline = "C:\\srv\\game server\\game.exe /Name \"main\"\t-v";
    ASSERT_TRUE(list.add("Game", "game.exe", commandline).ok);
    ASSERT_TRUE(list.load().ok);
    EXPECT_EQ(R"([{"name":"Game","processname":"game.exe","commandline":"C:\\srv\\game server\\game.exe /Name \"main\"\t-v"}])",
              readFile(kFile));
    ASSERT_EQ(1u, list.entries().size());
    EXPECT_EQ(commandline, entry(1).commandline);
}

// --- the changes the window makes ---

TEST_F(ServerListTest, RemoveTakesTheEntryAtItsPositionKeepingSkippedElements) {
    writeFile(kFile, kABC);
    ASSERT_TRUE(list.load().ok);
    ASSERT_EQ((std::vector<std::int32_t>{1, 3}), indexes());
    ASSERT_TRUE(list.remove(entry(3)).ok);
    ASSERT_TRUE(list.load().ok);
    EXPECT_EQ(R"([{"name":"A","processname":"a","commandline":"/srv/a/a -x"},{"name":"B","processname":"b","extra":1}])",
              readFile(kFile));
    EXPECT_EQ(std::vector<std::int32_t>{1}, indexes());

    // The first: the skipped B moves up to position 1, C to 2.
    writeFile(kFile, kABC);
    ASSERT_TRUE(list.load().ok);
    ASSERT_TRUE(list.remove(entry(1)).ok);
    ASSERT_TRUE(list.load().ok);
    EXPECT_EQ(R"([{"name":"B","processname":"b","extra":1},{"name":"C","processname":"c","commandline":"/srv/c/c"}])",
              readFile(kFile));
    ASSERT_EQ(std::vector<std::int32_t>{2}, indexes());
    EXPECT_EQ("C", entry(2).name);
}

TEST_F(ServerListTest, PositionsOutsideTheListAreRefused) {
    writeFile(kFile, kABC);
    ASSERT_TRUE(list.load().ok);
    const ServerEntry& c = entry(3);
    for (std::int32_t index : {4, 2, 0, -1}) {
        const ServerEntry elsewhere(index, c.name, c.processname, c.commandline);
        EXPECT_FALSE(list.remove(elsewhere).ok) << index;
        EXPECT_FALSE(list.replace(elsewhere, "X", "x", "x").ok) << index;
    }
    EXPECT_EQ(kABC, readFile(kFile));
}

// --- reading errors, with where they are

TEST_F(ServerListTest, UnreadableFilesAreReportedWithLineColumnAndReason) {
    struct Case {
        std::string bytes;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"", "line 1, column 1: The document is empty."},
        {"  \n\n", "line 3, column 1: The document is empty."},
        {"[\n  {\"name\": \"A\"}\n  {\"name\": \"B\"}\n]\n",
         "line 3, column 3: Missing a comma or ']' after an array element."},
        {"[{\"name\":\"测试\" \"x\":1}]", "line 1, column 15: Missing a comma or '}' after an object member."},
        {"[\r\n  {\"a\": 1},\r\n]", "line 3, column 1: Invalid value."},
        {"[{\"a\": tru}]", "line 1, column 11: Invalid value."},
        {"[{\"a\" 1}]", "line 1, column 7: Missing a colon after a name of object member."},
        {"[] []", "line 1, column 4: The document root must not be followed by other values."},
        {"[\"open", "line 1, column 7: Missing a closing quotation mark in string."},
        // Positions count from after a byte-order mark.
        {"\xEF\xBB\xBF[1,]", "line 1, column 4: Invalid value."},
        {std::string("[]\0", 3), "line 1, column 3: A zero byte is not valid in JSON."},
        {std::string("[1,\n\0]", 6), "line 2, column 1: A zero byte is not valid in JSON."},
        {"[1e999]", "line 1, column 2: Number too big to be stored in double."},
        {"\"list\"", "line 1, column 1: The document root must be an array."},
    };
    for (const Case& c : cases) {
        writeFile(kFile, c.bytes);
        const ListResult result = list.load();
        EXPECT_FALSE(result.ok) << c.bytes;
        EXPECT_FALSE(result.missing) << c.bytes;
        EXPECT_EQ("serverinfo.json: " + c.error, result.error) << c.bytes;
        EXPECT_EQ(1u, count(logText(), "[ERROR]: Parsing serverinfo.json error! serverinfo.json: " + c.error + "\r\n"))
            << c.bytes;
    }
}

TEST_F(ServerListTest, DeeplyNestedFilesAreAnErrorOrAListNeverACrash) {
    const std::size_t depth = 200000;
    writeFile(kFile, std::string(depth, '['));
    ListResult result = list.load();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ("serverinfo.json: line 1, column " + std::to_string(depth + 1) + ": Invalid value.", result.error);

    writeFile(kFile, std::string(depth, '[') + std::string(depth, ']'));
    result = list.load();
    EXPECT_TRUE(result.ok);
    EXPECT_TRUE(list.entries().empty());
    EXPECT_EQ(std::vector<std::string>{"serverinfo.json: entry 1 skipped: not an object"}, result.warnings);

    // Deep inside an entry's own key: the entry is supervised.
    std::string deep;
    for (std::size_t i = 0; i < depth; ++i) deep += R"({"k":)";
    writeFile(kFile, R"([{"name":"A","processname":"a","commandline":"a","deep":)" + deep + "1" +
                         std::string(depth, '}') + "}]");
    result = list.load();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(std::vector<std::int32_t>{1}, indexes());
    EXPECT_TRUE(result.warnings.empty());
}

TEST_F(ServerListTest, TheFileIsNamedByItsPath) {
    ServerList elsewhere(dir.file("lists/serverinfo.json"));
    ListResult result = elsewhere.load();
    EXPECT_TRUE(result.missing);
    EXPECT_EQ("Failed to open " + dir.file("lists/serverinfo.json") + ".", result.error);
    EXPECT_EQ(1u, count(logText(), kOpenError));  // the log line stays as it always was

    std::filesystem::create_directory(dir.file("lists"));
    writeFile(dir.file("lists/serverinfo.json"), R"([{"name":"A"}])");
    result = elsewhere.load();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(std::vector<std::string>{dir.file("lists/serverinfo.json") +
                                       R"(: entry 1 ("A") skipped: "processname" is missing or not a string)"},
              result.warnings);
}

}  // namespace
