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
#include "tests/support/FileSizeLimit.h"
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
    const ServerEntry& info = entry(1);
    EXPECT_EQ("Gate", info.name);
    EXPECT_EQ("gate", info.processname);
    EXPECT_EQ("/srv/gate/gate -p 1", info.commandline);

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
    list.LoadServerInfo();
    ASSERT_EQ(std::vector<std::int32_t>{1}, indexes());
    EXPECT_EQ("first", entry(1).name);
}

TEST_F(ServerListTest, EmptyArrayGivesNoServersAndNoLogLine) {
    writeFile(kFile, "[]");
    list.LoadServerInfo();
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

TEST_F(ServerListTest, MissingFileIsLoggedAndKeepsTheDocument) {
    writeFile(kFile, kABC);
    list.LoadServerInfo();
    ASSERT_EQ(2u, list.entries().size());
    std::filesystem::remove(kFile);

    const ListResult result = list.LoadServerInfo();
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.missing);
    EXPECT_EQ("Failed to open serverinfo.json.", result.error);
    EXPECT_TRUE(list.entries().empty());
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
        const ListResult result = list.LoadServerInfo();
        EXPECT_FALSE(result.ok) << bytes;
        EXPECT_TRUE(list.entries().empty()) << bytes;
    }
    EXPECT_EQ(malformed.size(), count(logText(), kParseError));

    list.SaveServerInfo();  // the document is still the last good list
    EXPECT_EQ(kABC, readFile(kFile));
}

TEST_F(ServerListTest, BytesPassThroughUnescaped) {
    const std::string gbk = "\xB2\xE2\xCA\xD4";  // 测试 in GBK, not valid UTF-8
    writeFile(kFile, "[{\"name\":\"测试\",\"processname\":\"" + gbk + "\",\"commandline\":\"/opt/x/y\\/z\"}]");
    list.LoadServerInfo();
    ASSERT_EQ(1u, list.entries().size());
    EXPECT_EQ("测试", entry(1).name);
    EXPECT_EQ(gbk, entry(1).processname);
    EXPECT_EQ("/opt/x/y/z", entry(1).commandline);

    list.SaveServerInfo();
    EXPECT_EQ("[{\"name\":\"测试\",\"processname\":\"" + gbk + "\",\"commandline\":\"/opt/x/y/z\"}]", readFile(kFile));
}

TEST_F(ServerListTest, BackslashesAndQuotesRoundTripEscaped) {
    const std::string commandline = "C:\\srv\\game server\\game.exe /Name \"main\"\t-v";
    list.addServer("Game", "game.exe", commandline);
    saveAndReload();
    EXPECT_EQ(R"([{"name":"Game","processname":"game.exe","commandline":"C:\\srv\\game server\\game.exe /Name \"main\"\t-v"}])",
              readFile(kFile));
    ASSERT_EQ(1u, list.entries().size());
    EXPECT_EQ(commandline, entry(1).commandline);
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
    EXPECT_EQ("N", entry(3).name);
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
    std::vector<ServerEntry> edited = list.entries();
    edited.back().name = "C2";
    edited.back().commandline = "/srv/c/c --new";
    list.rebuildFrom(edited);
    saveAndReload();
    EXPECT_EQ(
        R"([{"name":"A","processname":"a","commandline":"/srv/a/a -x"},{"name":"C2","processname":"c","commandline":"/srv/c/c --new"}])",
        readFile(kFile));
    EXPECT_EQ((std::vector<std::int32_t>{1, 2}), indexes());
    EXPECT_EQ("C2", entry(2).name);
}

TEST_F(ServerListTest, DeleteAllLeavesAnEmptyArray) {
    writeFile(kFile, kABC);
    list.LoadServerInfo();
    list.eraseAll();
    saveAndReload();
    EXPECT_EQ("[]", readFile(kFile));
    EXPECT_TRUE(list.entries().empty());
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
        [](ServerList& l) { l.rebuildFrom(l.entries()); },
    };
    for (const auto& change : changes) {
        writeFile(kFile, R"({"name":"A","processname":"a","commandline":"a"})");
        list.LoadServerInfo();
        change(list);
        list.SaveServerInfo();
        EXPECT_EQ("[]", readFile(kFile));
    }
}

TEST_F(ServerListTest, FailedWriteSaysSoAndLeavesTheOldListAndNoStrayFile) {
    writeFile(kFile, kABC);
    list.LoadServerInfo();
    list.addServer(std::string(300, 'n'), "n", "n");
    ListResult result;
    {
        FileSizeLimit limit(200);  // longer than the old list, shorter than the new one
        result = list.SaveServerInfo();
    }
    EXPECT_FALSE(result.ok);
    EXPECT_EQ("serverinfo.json could not be written (File too large); it was left as it was", result.error);
    EXPECT_EQ(kABC, readFile(kFile));
    list.LoadServerInfo();
    EXPECT_EQ((std::vector<std::int32_t>{1, 3}), indexes());
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(".")) ++entries;
    EXPECT_EQ(3u, entries);  // the list, its copy and logs/
}

TEST_F(ServerListTest, SaveKeepsThePreviousFileAsTheCopy) {
    const std::string handWritten = "[\n  {\"name\": \"A\", \"processname\": \"a\", \"commandline\": \"a\"}\n]\n";
    writeFile(kFile, handWritten);
    list.LoadServerInfo();
    list.eraseAll();
    ASSERT_TRUE(list.SaveServerInfo().ok);
    EXPECT_EQ("[]", readFile(kFile));
    EXPECT_EQ(handWritten, readFile("serverinfo.json.bak"));
}

TEST_F(ServerListTest, KeptDocumentTooDeepToWriteIsRefused) {
    // Valid JSON, read without recursion; writing it back would recurse once
    // per level.
    const std::size_t depth = 200000;
    writeFile(kFile, R"([{"name":"A","processname":"a","commandline":"a","deep":)" + std::string(depth, '[') +
                         std::string(depth, ']') + "}]");
    const std::string before = readFile(kFile);
    ASSERT_TRUE(list.LoadServerInfo().ok);
    ASSERT_EQ(std::vector<std::int32_t>{1}, indexes());
    list.addServer("B", "b", "b");
    const ListResult result = list.SaveServerInfo();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ("serverinfo.json was left as it was: the list is nested too deeply to be written", result.error);
    EXPECT_EQ(before, readFile(kFile));
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
        {"\xEF\xBB\xBF[]", "line 1, column 1: Invalid value. The file begins with a byte-order mark, which is not allowed."},
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
