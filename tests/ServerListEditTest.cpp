#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/ServerList.h"
#include "log/AppLogger.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TempDir.h"
#include "tests/support/TodaysLog.h"

namespace {

using namespace std::chrono_literals;

const char* const kFile = "serverinfo.json";
const char* const kBackup = "serverinfo.json.bak";
const char* const kChanged = "serverinfo.json has changed since it was read; reload it first";

// Keys Procward does not know, nested values, numbers no double holds
// exactly, Chinese text, an element that is not an entry, and a duplicate
// key (the first one counts).
const std::string kRich =
    R"([{"name":"gs1","processname":"gs","commandline":"/srv/gs/gs -id 1",)"
    R"("note":{"owner":"运维组","tags":["a",{"b":[1,2.50,-0.0,1E+2]}]},)"
    R"("big":123456789012345678901234567890,"ratio":0.1000000000000000055511151231257827,)"
    R"("health":{"tcp":"listen","custom":true}},)"
    R"(7,)"
    R"({"name":"游戏服2","processname":"gs","commandline":"/srv/gs/gs -id 2","env":{"Z":"1","A":"2"},"name":"later"}])";

// The first element of kRich, with the comma after it.
const std::string kRichFirst = kRich.substr(1, kRich.find("}},7,") + 2);

// Two-space indentation, LF line ends, a final line end.
const std::string kPretty =
    "[\n"
    "  {\n"
    "    \"name\": \"A\",\n"
    "    \"processname\": \"a\",\n"
    "    \"commandline\": \"/srv/a\",\n"
    "    \"limits\": {\"files\": 1024}\n"
    "  },\n"
    "  {\n"
    "    \"name\": \"B\",\n"
    "    \"processname\": \"b\",\n"
    "    \"commandline\": \"/srv/b\"\n"
    "  }\n"
    "]\n";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    EXPECT_EQ(std::string::npos, text.find(from, at + 1)) << from << " is not unique";
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

class ServerListEditTest : public ::testing::Test {
protected:
    TempDir dir;
    ScopedWorkingDirectory cwd{dir.path()};
    ServerList list;

    void SetUp() override {
        ASSERT_EQ(0, ::mkdir("logs", 0777));
        ASSERT_TRUE(AppLogger::Instance().Init());
    }

    // The entry at `index` as a fresh read shows it.
    ServerEntry seen(std::int32_t index) {
        EXPECT_TRUE(list.load().ok);
        for (const ServerEntry& entry : list.entries())
            if (entry.index == index) return entry;
        ADD_FAILURE() << "no entry " << index;
        return {};
    }
    static std::size_t logCount(const std::string& part) {
        const std::string text = readFile(todaysLogFile());
        std::size_t n = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }
    // The copy the last rewrite kept: the newest generation.
    static std::string newestCopy() {
        const std::vector<ListBackups::Generation> generations = ListBackups(kFile).generations();
        if (generations.empty()) return "<no copy>";
        return readFile(generations.front().path);
    }
    static std::size_t filesHere() {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(".")) ++n;
        return n;
    }
};

// --- what survives a change

TEST_F(ServerListEditTest, ReplaceChangesTheThreeValuesAndNothingElse) {
    writeFile(kFile, kRich);
    const ServerEntry second = seen(3);
    ASSERT_EQ("游戏服2", second.name);
    const ListResult result = list.replace(second, "游戏服3", "gs3", "/srv/gs/gs3 -id 3 \"q\"");
    ASSERT_TRUE(result.ok) << result.error;
    std::string expected = replaced(kRich, R"("name":"游戏服2")", R"("name":"游戏服3")");
    expected = replaced(expected, R"("processname":"gs","commandline":"/srv/gs/gs -id 2")",
                        R"("processname":"gs3","commandline":"/srv/gs/gs3 -id 3 \"q\"")");
    EXPECT_EQ(expected, readFile(kFile));

    const ServerEntry now = seen(3);
    EXPECT_EQ("游戏服3", now.name);
    EXPECT_EQ("/srv/gs/gs3 -id 3 \"q\"", now.commandline);
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"Z", "1"}, {"A", "2"}}), now.options.env);
}

TEST_F(ServerListEditTest, RemoveTakesOutOneElementAndItsSeparator) {
    writeFile(kFile, kRich);
    ASSERT_TRUE(list.remove(seen(1)).ok);
    const std::string afterFirst = replaced(kRich, kRichFirst, "");
    EXPECT_EQ(afterFirst, readFile(kFile));
    EXPECT_EQ(kRich, newestCopy());

    // The last element goes with the separator before it.
    const ServerEntry last = seen(2);
    ASSERT_EQ("游戏服2", last.name);
    ASSERT_TRUE(list.remove(last).ok);
    EXPECT_EQ("[7]", readFile(kFile));
    EXPECT_EQ(afterFirst, newestCopy());
}

TEST_F(ServerListEditTest, AddAppendsAfterTheLastElementInTheFilesStyle) {
    writeFile(kFile, kRich);
    ASSERT_TRUE(list.add("N", "n", "C:\\srv\\n.exe -x").ok);
    EXPECT_EQ(
        kRich.substr(0, kRich.size() - 1) + R"(,{"name":"N","processname":"n","commandline":"C:\\srv\\n.exe -x"}])",
        readFile(kFile));
    EXPECT_EQ(kRich, newestCopy());
    ASSERT_TRUE(list.load().ok);
    EXPECT_EQ("C:\\srv\\n.exe -x", list.entries().back().commandline);
    EXPECT_EQ(4, list.entries().back().index);

    writeFile(kFile, "[]");
    ASSERT_TRUE(list.add("A", "a", "a").ok);
    EXPECT_EQ(R"([{"name":"A","processname":"a","commandline":"a"}])", readFile(kFile));
}

// Editors on Windows save UTF-8 with a byte-order mark: such a list reads
// as any other, and every edit keeps the mark, the copy included.
TEST_F(ServerListEditTest, AByteOrderMarkIsReadPastAndKeptByEveryEdit) {
    const std::string bom = "\xEF\xBB\xBF";
    // The same edit of the list without the mark gives what must follow it;
    // the edit with the mark goes last, so the copy it leaves is checked.
    auto same = [&](auto edit) {
        writeFile(kFile, kRich);
        EXPECT_TRUE(edit().ok);
        const std::string without = readFile(kFile);
        writeFile(kFile, bom + kRich);
        EXPECT_TRUE(edit().ok);
        EXPECT_EQ(bom + without, readFile(kFile));
    };
    writeFile(kFile, bom + kRich);
    ASSERT_TRUE(list.load().ok);
    ASSERT_EQ(2u, list.entries().size());
    EXPECT_EQ("gs1", list.entries().front().name);
    EXPECT_EQ("游戏服2", list.entries().back().name);

    same([&] { return list.add("新服", "gs", "/srv/gs/gs -id 3"); });
    EXPECT_EQ(bom + kRich, newestCopy());
    same([&] { return list.replace(seen(3), "游戏服3", "gs", "/srv/gs/gs -id 3"); });
    same([&] { return list.remove(seen(1)); });
    same([&] { return list.setHealthCheck(seen(3), {HealthProbe::tcp, "listen", 5s, 2}); });
    writeFile(kFile, bom + kRich);
    ASSERT_TRUE(list.load().ok);
    ASSERT_TRUE(list.removeAll(list.entries()).ok);
    EXPECT_EQ(bom + "[]", readFile(kFile));

    // A mark before an unchanged list is no change: nothing is written.
    writeFile(kFile, bom + kRich);
    std::filesystem::remove_all(kBackup);
    const ServerEntry first = seen(1);
    ASSERT_TRUE(list.replace(first, first.name, first.processname, first.commandline).ok);
    EXPECT_FALSE(std::filesystem::exists(kBackup));
}

TEST_F(ServerListEditTest, AFileThatIsMissingIsCreatedCompactWithoutACopy) {
    ASSERT_TRUE(list.add("测试", "t", "/srv/t").ok);
    EXPECT_EQ(R"([{"name":"测试","processname":"t","commandline":"/srv/t"}])", readFile(kFile));
    EXPECT_FALSE(std::filesystem::exists(kBackup));
}

TEST_F(ServerListEditTest, PrettyFilesStayPrettyWithTheirIndentation) {
    writeFile(kFile, kPretty);
    ASSERT_TRUE(list.add("C", "c", "/srv/c").ok);
    const std::string withC = replaced(kPretty, "  }\n]\n",
                                       "  },\n"
                                       "  {\n"
                                       "    \"name\": \"C\",\n"
                                       "    \"processname\": \"c\",\n"
                                       "    \"commandline\": \"/srv/c\"\n"
                                       "  }\n"
                                       "]\n");
    EXPECT_EQ(withC, readFile(kFile));

    ASSERT_TRUE(list.remove(seen(2)).ok);
    EXPECT_EQ(replaced(withC,
                       "  {\n"
                       "    \"name\": \"B\",\n"
                       "    \"processname\": \"b\",\n"
                       "    \"commandline\": \"/srv/b\"\n"
                       "  },\n",
                       ""),
              readFile(kFile));

    ASSERT_TRUE(list.removeAll({seen(1), seen(2)}).ok);
    EXPECT_EQ("[]\n", readFile(kFile));
}

TEST_F(ServerListEditTest, TabsCrLfAndAnEmptyPrettyListAreFollowed) {
    writeFile(kFile, "[\r\n\t{\"name\": \"A\", \"processname\": \"a\", \"commandline\": \"a\"}\r\n]");
    ASSERT_TRUE(list.add("N", "n", "n").ok);
    EXPECT_EQ(
        "[\r\n"
        "\t{\"name\": \"A\", \"processname\": \"a\", \"commandline\": \"a\"},\r\n"
        "\t{\r\n"
        "\t\t\"name\": \"N\",\r\n"
        "\t\t\"processname\": \"n\",\r\n"
        "\t\t\"commandline\": \"n\"\r\n"
        "\t}\r\n"
        "]",
        readFile(kFile));

    // Nothing to copy the indentation from: four blanks.
    writeFile(kFile, "[\n]\n");
    ASSERT_TRUE(list.add("A", "a", "a").ok);
    EXPECT_EQ(
        "[\n    {\n        \"name\": \"A\",\n        \"processname\": \"a\",\n        \"commandline\": \"a\"\n    "
        "}\n]\n",
        readFile(kFile));
    ASSERT_TRUE(list.remove(seen(1)).ok);
    EXPECT_EQ("[]\n", readFile(kFile));
}

TEST_F(ServerListEditTest, RemoveAllEmptiesTheListSkippedElementsIncluded) {
    writeFile(kFile, kRich);
    ASSERT_TRUE(list.load().ok);
    ASSERT_TRUE(list.removeAll(list.entries()).ok);
    EXPECT_EQ("[]", readFile(kFile));
    EXPECT_EQ(kRich, newestCopy());
}

TEST_F(ServerListEditTest, DeepValuesInsideAnEntryAreKeptWithoutRecursion) {
    const std::size_t depth = 200000;
    const std::string file = R"([{"name":"A","processname":"a","commandline":"a","deep":)" + std::string(depth, '[') +
                             std::string(depth, ']') + "}]";
    writeFile(kFile, file);
    ASSERT_TRUE(list.replace(seen(1), "B", "a", "a").ok);
    EXPECT_EQ(replaced(file, R"("name":"A")", R"("name":"B")"), readFile(kFile));
    ASSERT_TRUE(list.add("C", "c", "c").ok);
    ASSERT_TRUE(list.load().ok);
    EXPECT_EQ(2u, list.entries().size());
}

// --- refusals

TEST_F(ServerListEditTest, AFileChangedUnderneathIsRefused) {
    writeFile(kFile, kRich);
    const ServerEntry first = seen(1);
    const ServerEntry second = seen(3);
    const std::vector<ServerEntry> all = list.entries();

    // Someone changed the first entry's command line by hand.
    const std::string edited = replaced(kRich, "/srv/gs/gs -id 1", "/srv/gs/gs -id 9");
    writeFile(kFile, edited);
    HealthCheckEdit check{HealthProbe::tcp, "127.0.0.1:80", 10s, 3};
    for (const ListResult& result : {list.replace(first, "x", "x", "x"), list.remove(first),
                                     list.setHealthCheck(first, check), list.removeAll(all)}) {
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(kChanged, result.error);
    }
    EXPECT_EQ(edited, readFile(kFile));
    EXPECT_FALSE(std::filesystem::exists(kBackup));
    EXPECT_EQ(4u, logCount("[ERROR]: Saving serverinfo.json error! " + std::string(kChanged)));

    // An element put in front moves every entry down by one.
    writeFile(kFile, "[0," + kRich.substr(1));
    EXPECT_EQ(kChanged, list.remove(second).error);
    EXPECT_EQ(kChanged, list.replace(first, "x", "x", "x").error);

    // An entry added by hand is not deleted unseen.
    writeFile(kFile, kRich.substr(0, kRich.size() - 1) + R"(,{"name":"new","processname":"n","commandline":"n"}])");
    EXPECT_EQ(kChanged, list.removeAll(all).error);

    std::filesystem::remove(kFile);
    EXPECT_EQ(kChanged, list.remove(first).error);
    EXPECT_FALSE(std::filesystem::exists(kFile));
}

TEST_F(ServerListEditTest, AFileThatCannotBeParsedIsRefusedWithWhereItIsWrong) {
    writeFile(kFile, kRich);
    const ServerEntry first = seen(1);
    const std::string broken = "[\n  {\"name\": \"gs1\",}\n]";
    writeFile(kFile, broken);
    for (const ListResult& result : {list.add("N", "n", "n"), list.remove(first)}) {
        EXPECT_FALSE(result.ok);
        EXPECT_EQ("serverinfo.json: line 2, column 18: Missing a name for object member.", result.error);
    }
    EXPECT_EQ(broken, readFile(kFile));
}

// --- failed writes

TEST_F(ServerListEditTest, ACopyThatCannotBeKeptStopsTheChange) {
    writeFile(kFile, kRich);
    // Neither the directory of the copies nor a copy of earlier versions.
    std::filesystem::create_symlink("/dev/null", kBackup);
    const ListResult result = list.add("N", "n", "n");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(
        "serverinfo.json.bak is in the way: it is neither a directory nor a list's copy; serverinfo.json was "
        "left as it was",
        result.error);
    EXPECT_EQ(kRich, readFile(kFile));
}

TEST_F(ServerListEditTest, AFailedWriteKeepsTheOldFileAndLeavesNoStrayFile) {
    writeFile(kFile, kRich);
    ListResult result;
    {
        FileSizeLimit limit(1000);  // longer than the list, shorter than the new one
        result = list.add(std::string(2000, 'n'), "n", "n");
    }
    EXPECT_FALSE(result.ok);
    EXPECT_EQ("serverinfo.json could not be written (File too large); it was left as it was", result.error);
    EXPECT_EQ(kRich, readFile(kFile));
    EXPECT_EQ(3u, filesHere());  // the list, its copy and logs/
}

TEST_F(ServerListEditTest, AReadOnlyDirectorySaysSoAndLeavesTheFile) {
    writeFile(kFile, kRich);
    const ServerEntry first = seen(1);
    ASSERT_EQ(0, ::chmod(kFile, 0644));
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0555));
    std::string error;
    if (::geteuid() == 0) {
        // Root may write into any directory: the change is made as nobody.
        int pipeFds[2];
        ASSERT_EQ(0, ::pipe(pipeFds));
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
            const ListResult result = list.replace(first, "renamed", first.processname, first.commandline);
            const bool written = ::write(pipeFds[1], result.error.data(), result.error.size()) ==
                                 static_cast<ssize_t>(result.error.size());
            ::_exit(result.ok || !written ? 1 : 0);
        }
        ::close(pipeFds[1]);
        char buffer[512];
        for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
            error.append(buffer, static_cast<std::size_t>(n));
        ::close(pipeFds[0]);
        int status = 0;
        ASSERT_EQ(child, ::waitpid(child, &status, 0));
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_NE(100, WEXITSTATUS(status)) << "cannot drop privileges here";
        EXPECT_EQ(0, WEXITSTATUS(status));
    } else {
        const ListResult result = list.replace(first, "renamed", first.processname, first.commandline);
        EXPECT_FALSE(result.ok);
        error = result.error;
    }
    ::chmod(dir.path().c_str(), 0700);
    EXPECT_EQ("serverinfo.json.bak could not be made (Permission denied); serverinfo.json was left as it was", error);
    EXPECT_EQ(kRich, readFile(kFile));
}

TEST_F(ServerListEditTest, TheCopiesAreNoMoreReadableThanTheListAndAnEarlierSingleCopyIsKeptAmongThem) {
    const std::string list1 = R"([{"name":"A","processname":"a","commandline":"a","env":{"TOKEN":"secret"}}])";
    writeFile(kFile, list1);
    // The one copy earlier versions kept, readable by all.
    writeFile(kBackup, "[]");
    ASSERT_EQ(0, ::chmod(kFile, 0600));
    ASSERT_EQ(0, ::chmod(kBackup, 0644));
    ASSERT_TRUE(list.add("B", "b", "b").ok);
    struct stat st {};
    ASSERT_EQ(0, ::stat(kBackup, &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    const std::vector<ListBackups::Generation> generations = ListBackups(kFile).generations();
    ASSERT_EQ(2u, generations.size());
    EXPECT_EQ(list1, readFile(generations[0].path));
    EXPECT_EQ(1, generations[0].servers);
    EXPECT_EQ("[]", readFile(generations[1].path));
    EXPECT_EQ(0, generations[1].servers);
    for (const auto& generation : generations) {
        ASSERT_EQ(0, ::stat(generation.path.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 0777) << generation.path;
    }
    ASSERT_EQ(0, ::stat(kFile, &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

// --- the health rule the edit dialog sets

TEST_F(ServerListEditTest, AnEditOfTheTextsAndTheHealthRuleIsOneWrite) {
    writeFile(kFile, kRich);
    const ListResult result = list.replace(seen(1), "gs1b", "gs", "/srv/gs/gs -id 1",
                                           HealthCheckEdit{HealthProbe::http, "http://listen:81/ok", 7s, 2});
    ASSERT_TRUE(result.ok) << result.error;
    std::string expected = replaced(kRich, R"("name":"gs1")", R"("name":"gs1b")");
    expected = replaced(expected, R"("health":{"tcp":"listen","custom":true})",
                        R"("health":{"http":"http://listen:81/ok","custom":true,"interval":7,"failures":2})");
    EXPECT_EQ(expected, readFile(kFile));
    // The copy is the list before the whole edit, not a step of it.
    EXPECT_EQ(kRich, newestCopy());

    // A refused rule writes neither part.
    writeFile(kFile, kRich);
    const ListResult refused =
        list.replace(seen(1), "other", "gs", "/srv/gs/gs -id 1", HealthCheckEdit{HealthProbe::tcp, "nohost", 7s, 2});
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(std::string::npos, refused.error.find("\"tcp\"")) << refused.error;
    EXPECT_EQ(kRich, readFile(kFile));
}

TEST_F(ServerListEditTest, HealthCheckIsAddedToAnEntryWithoutOne) {
    writeFile(kFile, kRich);
    const ListResult result = list.setHealthCheck(seen(3), {HealthProbe::tcp, "127.0.0.1:8080", 5s, 2});
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(replaced(kRich, R"("name":"later"})",
                       R"("name":"later","health":{"tcp":"127.0.0.1:8080","interval":5,"failures":2}})"),
              readFile(kFile));
    const ServerEntry entry = seen(3);
    ASSERT_TRUE(entry.options.health);
    EXPECT_EQ(HealthProbe::tcp, entry.options.health->probe);
    EXPECT_EQ("127.0.0.1", entry.options.health->host);
    EXPECT_EQ(8080, entry.options.health->port);
    EXPECT_EQ(5s, entry.options.health->interval);
    EXPECT_EQ(2, entry.options.health->failures);
}

TEST_F(ServerListEditTest, HealthCheckReplacesTheProbeInPlaceAndKeepsTheRest) {
    writeFile(kFile, kRich);
    const ListResult result = list.setHealthCheck(seen(1), {HealthProbe::http, "http://listen/healthz", 2500ms, 4});
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(replaced(kRich, R"("health":{"tcp":"listen","custom":true})",
                       R"("health":{"http":"http://listen/healthz","custom":true,"interval":2.5,"failures":4})"),
              readFile(kFile));
    const ServerEntry entry = seen(1);
    ASSERT_TRUE(entry.options.health);
    EXPECT_EQ(HealthProbe::http, entry.options.health->probe);
    EXPECT_TRUE(entry.options.health->useListenAddress);
    EXPECT_EQ("/healthz", entry.options.health->path);
    EXPECT_EQ(2500ms, entry.options.health->interval);
}

TEST_F(ServerListEditTest, HealthCheckInAPrettyFileKeepsItsLayout) {
    const std::string file =
        "[\n"
        "  {\n"
        "    \"name\": \"A\",\n"
        "    \"processname\": \"a\",\n"
        "    \"commandline\": \"/srv/a\",\n"
        "    \"health\": {\n"
        "      \"exec\": \"/srv/a/check --quick\",\n"
        "      \"interval\": 30,\n"
        "      \"max_memory_mb\": 2048,\n"
        "      \"note\": [1, 2]\n"
        "    }\n"
        "  }\n"
        "]\n";
    writeFile(kFile, file);
    ASSERT_TRUE(list.setHealthCheck(seen(1), {HealthProbe::tcp, "[::1]:7000", 15s, 3}).ok);
    EXPECT_EQ(
        "[\n"
        "  {\n"
        "    \"name\": \"A\",\n"
        "    \"processname\": \"a\",\n"
        "    \"commandline\": \"/srv/a\",\n"
        "    \"health\": {\n"
        "      \"tcp\": \"[::1]:7000\",\n"
        "      \"interval\": 15,\n"
        "      \"max_memory_mb\": 2048,\n"
        "      \"note\": [1, 2],\n"
        "      \"failures\": 3\n"
        "    }\n"
        "  }\n"
        "]\n",
        readFile(kFile));

    writeFile(kFile, kPretty);
    ASSERT_TRUE(list.setHealthCheck(seen(2), {HealthProbe::tcp, "listen", 10s, 3}).ok);
    EXPECT_EQ(replaced(kPretty, "    \"commandline\": \"/srv/b\"\n",
                       "    \"commandline\": \"/srv/b\",\n"
                       "    \"health\": {\n"
                       "      \"tcp\": \"listen\",\n"
                       "      \"interval\": 10,\n"
                       "      \"failures\": 3\n"
                       "    }\n"),
              readFile(kFile));
}

TEST_F(ServerListEditTest, RemovingTheProbeRemovesTheRuleWhenNothingIsLeftToWatch) {
    writeFile(kFile, kRich);
    ASSERT_TRUE(list.setHealthCheck(seen(1), {}).ok);
    EXPECT_EQ(replaced(kRich, R"(,"health":{"tcp":"listen","custom":true})", ""), readFile(kFile));

    // Nothing to remove: nothing is written.
    std::filesystem::remove_all(kBackup);
    ASSERT_TRUE(list.setHealthCheck(seen(1), {}).ok);
    EXPECT_FALSE(std::filesystem::exists(kBackup));

    // A memory limit keeps the rule.
    writeFile(
        kFile,
        R"([{"name":"A","processname":"a","commandline":"a","health":{"http":"http://h/","max_memory_mb":512}}])");
    ASSERT_TRUE(list.setHealthCheck(seen(1), {}).ok);
    EXPECT_EQ(R"([{"name":"A","processname":"a","commandline":"a","health":{"max_memory_mb":512}}])", readFile(kFile));
}

TEST_F(ServerListEditTest, AHealthCheckThatIsNotOneIsRefusedUnwritten) {
    writeFile(kFile, kRich);
    const ServerEntry entry = seen(3);
    ListResult result = list.setHealthCheck(entry, {HealthProbe::tcp, "127.0.0.1", 10s, 3});
    EXPECT_EQ("health check of entry 3: \"tcp\" must be \"host:port\", \"[IPv6 address]:port\" or \"listen\"",
              result.error);
    result = list.setHealthCheck(entry, {HealthProbe::http, "https://h/", 10s, 3});
    EXPECT_EQ("health check of entry 3: \"http\" must be a URL \"http://host[:port]/path\" (host \"listen\" allowed)",
              result.error);
    result = list.setHealthCheck(entry, {HealthProbe::tcp, "h:1", 0s, 3});
    EXPECT_FALSE(result.ok);
    result = list.setHealthCheck(entry, {HealthProbe::tcp, "h:1", 1s, 0});
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(kRich, readFile(kFile));
    EXPECT_FALSE(std::filesystem::exists(kBackup));
}

}  // namespace
