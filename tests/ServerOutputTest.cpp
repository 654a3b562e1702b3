// A server's own output: the file it is appended to, Procward's lines in it,
// its last lines, the rotation under a server that keeps writing, and the
// exit reason and output wherever they are shown (alert, status, metrics).
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include <rapidjson/document.h>

#include "app/core/MailAlerts.h"
#include "app/core/OutputLookSchedule.h"
#include "app/core/OutputRotator.h"
#include "app/core/StatusBoard.h"
#include "app/core/StatusReport.h"
#include "supervision/OutputFollower.h"
#include "supervision/ServerOutputFile.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/SupervisionFixture.h"
#include "tests/support/linux/SmallFileSystem.h"

namespace {

void append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

// The numbers of the "count N ..." lines the test server writes, in the
// order they stand in `text`; a line cut short counts as -1.
std::vector<long long> counts(const std::string& text) {
    std::vector<long long> numbers;
    static const std::regex whole("^count (\\d{8}) \\.{80}$");
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        std::smatch match;
        if (std::regex_match(line, match, whole))
            numbers.push_back(std::stoll(match[1]));
        else if (line.rfind("count", 0) == 0 || line.find("......") != std::string::npos)
            numbers.push_back(-1);
        start = end + 1;
    }
    return numbers;
}

// --- file names and last lines ---

TEST(ServerOutputFileTest, NamesAreSafeOnEverySystemAndUniqueInTheList) {
    EXPECT_EQ("game01", ServerOutputFile::safeFileName("game01"));
    EXPECT_EQ("a_b_c_d_e_f_g_h_i_j", ServerOutputFile::safeFileName("a/b\\c:d*e?f\"g<h>i|j"));
    EXPECT_EQ("___etc_passwd", ServerOutputFile::safeFileName("../etc/passwd"));
    EXPECT_EQ("_", ServerOutputFile::safeFileName("."));
    EXPECT_EQ("_nul", ServerOutputFile::safeFileName("nul"));
    EXPECT_EQ("_com1.txt", ServerOutputFile::safeFileName("com1.txt"));
    EXPECT_EQ("网关服务", ServerOutputFile::safeFileName("网关服务"));
    EXPECT_EQ("tab_x", ServerOutputFile::safeFileName("tab\tx"));
    EXPECT_EQ("server", ServerOutputFile::safeFileName(""));
    EXPECT_EQ("web__", ServerOutputFile::safeFileName("web. "));
    // Cut at 100 bytes, never inside a character.
    std::string longName;
    for (int i = 0; i < 40; ++i) longName += "网";
    const std::string cut = ServerOutputFile::safeFileName(longName);
    EXPECT_LE(cut.size(), 100u);
    EXPECT_EQ(0u, cut.size() % 3);

    const std::vector<ServerEntry> entries = {
        {3, "web", "x", "x"}, {1, "Web", "x", "x"}, {2, "web-3", "x", "x"}, {5, "a/b", "x", "x"}, {4, "a_b", "x", "x"}};
    const auto paths = ServerOutputFile::pathsFor("/var/log/procward/servers", entries);
    ASSERT_EQ(5u, paths.size());
    EXPECT_EQ("/var/log/procward/servers/Web.log", paths.at(1));
    EXPECT_EQ("/var/log/procward/servers/web-3.log", paths.at(2));
    // The second "web" would be web-3, which a server is named: one more part.
    EXPECT_EQ("/var/log/procward/servers/web-3-2.log", paths.at(3));
    EXPECT_EQ("/var/log/procward/servers/a_b.log", paths.at(4));
    EXPECT_EQ("/var/log/procward/servers/a_b-5.log", paths.at(5));
    EXPECT_TRUE(ServerOutputFile::pathsFor("", entries).empty());
}

TEST(ServerOutputFileTest, TheLastLinesAreTheNewestEvenAfterTheFileWasRotated) {
    TempDir dir;
    const std::string file = dir.file("s.log");
    EXPECT_TRUE(ServerOutputFile::lastLines(file, 5).empty());
    append(file, "one\r\ntwo\n\nfour\nfive");
    EXPECT_EQ((std::vector<std::string>{"", "four", "five"}), ServerOutputFile::lastLines(file, 3));
    EXPECT_EQ((std::vector<std::string>{"one", "two", "", "four", "five"}), ServerOutputFile::lastLines(file, 50));
    append(file, "\nsix\n");
    const std::int64_t end = ServerOutputFile::size(file);
    EXPECT_EQ((std::vector<std::string>{"five", "six"}), ServerOutputFile::lastLines(file, 2, end));
    append(file, "seven\n");
    // Up to an offset: as the file was then.
    EXPECT_EQ((std::vector<std::string>{"five", "six"}), ServerOutputFile::lastLines(file, 2, end));

    std::string error;
    ASSERT_TRUE(ServerOutputFile::rotate(file, 2, error)) << error;
    EXPECT_EQ(0, ServerOutputFile::size(file));
    append(file, "eight\n");
    // The offset is beyond the emptied file: the backup holds those bytes.
    EXPECT_EQ((std::vector<std::string>{"five", "six"}), ServerOutputFile::lastLines(file, 2, end));
    EXPECT_EQ((std::vector<std::string>{"eight"}), ServerOutputFile::lastLines(file, 2));

    // The oldest backup beyond the number kept goes.
    ASSERT_TRUE(ServerOutputFile::rotate(file, 2, error));
    append(file, "nine\n");
    ASSERT_TRUE(ServerOutputFile::rotate(file, 2, error));
    EXPECT_EQ("nine\n", readFile(ServerOutputFile::backupPath(file, 1)));
    EXPECT_EQ("eight\n", readFile(ServerOutputFile::backupPath(file, 2)));
    EXPECT_FALSE(std::filesystem::exists(ServerOutputFile::backupPath(file, 3)));
    // Without backups the file is only emptied.
    append(file, "ten\n");
    ASSERT_TRUE(ServerOutputFile::rotate(file, 0, error));
    EXPECT_EQ(0, ServerOutputFile::size(file));
    EXPECT_EQ("nine\n", readFile(ServerOutputFile::backupPath(file, 1)));

    // A line longer than what is read at most is not shown cut.
    const std::string big = dir.file("big.log");
    append(big, std::string(2 * 1024 * 1024, 'x') + "\nlast\n");
    EXPECT_EQ((std::vector<std::string>{"last"}), ServerOutputFile::lastLines(big, 5));
}

TEST(ServerOutputFileTest, ARotationKeepsEveryBackupWhenItsCopyFailsAndCopiesTheFilesPermissions) {
    TempDir dir;
    const std::string file = dir.file("s.log");
    const std::string first = ServerOutputFile::backupPath(file, 1);
    const std::string second = ServerOutputFile::backupPath(file, 2);
    append(file, "old\n");
    // The live file is for its owner and group only; so are its backups,
    // whatever the process's umask would give a new file.
    ASSERT_EQ(0, ::chmod(file.c_str(), 0640));
    const mode_t mask = ::umask(022);
    std::string error;
    ASSERT_TRUE(ServerOutputFile::rotate(file, 2, error)) << error;
    ::umask(mask);
    struct stat info {};
    ASSERT_EQ(0, ::stat(first.c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 0777);
    append(file, "newer\n");
    ASSERT_TRUE(ServerOutputFile::rotate(file, 2, error)) << error;
    EXPECT_EQ("newer\n", readFile(first));
    EXPECT_EQ("old\n", readFile(second));

    // A copy that fails halfway (as on a full disk): the backups stay as
    // they were, no partial copy is left, and the file keeps its lines for
    // the next attempt.
    const std::string lines = std::string(64 * 1024, 'x') + "\n";
    append(file, lines);
    {
        FileSizeLimit limit(1024);
        EXPECT_FALSE(ServerOutputFile::rotate(file, 2, error));
    }
    EXPECT_NE(std::string::npos, error.find(file + ".rotating")) << error;
    EXPECT_EQ("newer\n", readFile(first));
    EXPECT_EQ("old\n", readFile(second));
    EXPECT_FALSE(std::filesystem::exists(file + ".rotating"));
    EXPECT_EQ(lines, readFile(file));
    // Once writes go through again, the rotation does.
    ASSERT_TRUE(ServerOutputFile::rotate(file, 2, error)) << error;
    EXPECT_EQ(lines, readFile(first));
    EXPECT_EQ("newer\n", readFile(second));
    EXPECT_EQ(0, ServerOutputFile::size(file));
}

// On a small file system of its own (a tmpfs mounted in a mount namespace
// of a child process): filled up, the rotation gives up the file's lines,
// keeps the backups, says how much went, and capture goes on; freed, the
// rotation copies again. The child writes what it saw into a report.
TEST(ServerOutputFileTest, OnAFullDiskTheFilesLinesGoTheBackupsStayAndCaptureGoesOn) {
    TempDir dir;
    const std::string mountPoint = dir.file("small");
    ASSERT_EQ(0, ::mkdir(mountPoint.c_str(), 0700));
    const std::string report = dir.file("report");
    const int ran = inSmallFileSystem(mountPoint, "512k", [&] {
        std::string seen;
        const std::string file = mountPoint + "/s.log";
        writeFile(ServerOutputFile::backupPath(file, 1), "one\n");
        writeFile(ServerOutputFile::backupPath(file, 2), "two\n");
        const std::string lines = std::string(150 * 1024, 'x') + "\n";
        writeFile(file, lines);
        // Everything else fills the rest.
        std::FILE* filler = std::fopen((mountPoint + "/filler").c_str(), "wb");
        const std::string block(4096, 'f');
        while (filler && std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
               std::fflush(filler) == 0) {
        }
        if (filler) std::fclose(filler);
        const bool rotated = OutputRotator::rotateIfLarge(file, ServerOutputFile::size(file), 100 * 1024, 2);
        seen += std::string("rotated ") + (rotated ? "yes" : "no") + "\n";
        seen += "backup1 " + readFile(ServerOutputFile::backupPath(file, 1));
        seen += "backup2 " + readFile(ServerOutputFile::backupPath(file, 2));
        seen += std::string("partial ") + (std::filesystem::exists(file + ".rotating") ? "left" : "none") + "\n";
        const std::string text = readFile(file);
        seen += "marker " +
                (text.find(" [procward] " + std::to_string(lines.size()) + " bytes dropped: no space left\n") !=
                         std::string::npos
                     ? std::string("yes")
                     : text) +
                "\n";
        append(file, "after\n");
        seen += std::string("capture ") + (readFile(file).find("after\n") != std::string::npos ? "yes" : "no") + "\n";
        // Space back: the next rotation copies as ever.
        std::filesystem::remove(mountPoint + "/filler");
        std::string error;
        const bool again = ServerOutputFile::rotate(file, 2, error);
        seen += std::string("again ") + (again ? "yes" : error) + "\n";
        seen +=
            "backup1 " +
            std::string(readFile(ServerOutputFile::backupPath(file, 1)).find("after\n") != std::string::npos ? "after"
                                                                                                             : "?") +
            "\n";
        seen += "backup2 " + readFile(ServerOutputFile::backupPath(file, 2));
        writeFile(report, seen);
    });
    if (ran == kNoSmallFileSystem) GTEST_SKIP() << "no tmpfs could be mounted here (needs root)";
    ASSERT_EQ(0, ran);
    EXPECT_EQ(
        "rotated yes\nbackup1 one\nbackup2 two\npartial none\nmarker yes\ncapture yes\nagain yes\n"
        "backup1 after\nbackup2 one\n",
        readFile(report));
}

TEST(ServerOutputFileTest, AServerThatKeepsWritingLosesNothingInsideAFileAcrossRotationsAndAFollowerSeesItAll) {
    TempDir dir;
    const std::string program = copyTestServer(dir.file("procward-testserver"));
    const std::string file = dir.file("servers/writer.log");
    platform::LaunchRequest request;
    request.commandLine = program + " --count-lines 2 20";
    request.outputFile = file;
    platform::LaunchFailure failure;
    auto writer = platform::processControl().start(request, failure);
    ASSERT_TRUE(writer) << failure.text;
    ASSERT_TRUE(waitFor([&] { return ServerOutputFile::size(file) > 0; }));
    OutputFollower follower(file);
    std::string followed;
    const std::int64_t limit = 64 * 1024;
    int rotations = 0;
    while (rotations < 8) {
        followed += follower.poll();
        rotations += OutputRotator::rotateLarge({file}, limit, 3);
        ASSERT_FALSE(writer->exited());
    }
    followed += follower.poll();
    // Some lines in the emptied file too.
    ASSERT_TRUE(waitFor([&] { return counts(readFile(file)).size() > 2; }));
    followed += follower.poll();
    int error = 0;
    writer->signal(platform::StopSignal::Kill, true, error);
    ASSERT_TRUE(waitFor([&] { return writer->exited(); }));
    followed += follower.poll();

    EXPECT_FALSE(std::filesystem::exists(ServerOutputFile::backupPath(file, 4)));
    std::vector<std::vector<long long>> files;
    for (int n = 3; n >= 1; --n) files.push_back(counts(readFile(ServerOutputFile::backupPath(file, n))));
    files.push_back(counts(readFile(file)));
    // Within each file every line follows the one before: nothing is lost
    // but in the moment of a rotation, where a line may be cut in two.
    long long last = 0;
    int lost = 0;
    for (const auto& numbers : files) {
        ASSERT_FALSE(numbers.empty());
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            const bool edge = i == 0 || i + 1 == numbers.size();
            if (numbers[i] < 0) {
                EXPECT_TRUE(edge) << "a cut line inside a file";
                continue;
            }
            if (last > 0 && i > 1) {
                EXPECT_EQ(last + 1, numbers[i]);
            } else if (last > 0) {
                EXPECT_GT(numbers[i], last);  // never out of order
                lost += static_cast<int>(numbers[i] - last - 1);
            }
            last = numbers[i];
        }
    }
    // The follower read the same lines, in order, across all rotations.
    const std::vector<long long> seen = counts(followed);
    ASSERT_FALSE(seen.empty());
    long long previous = 0;
    for (long long n : seen) {
        if (n < 0) continue;
        if (previous > 0) {
            EXPECT_GT(n, previous);
        }
        previous = n;
    }
    EXPECT_EQ(8, follower.rotations());
    RecordProperty("lines_lost_in_8_rotations", lost);
}

// --- the file of a supervised server ---

class ServerOutputSupervisionTest : public SupervisionFixture {
protected:
    void SetUp() override {
        SupervisionFixture::SetUp();
        options.outputDirectory = dir.file("out/servers");
    }
    // Runs the loop until `done`, each step woken by the exit watcher or the clock.
    template <class F>
    bool runUntil(F done) {
        return waitFor(
            [&] {
                clock.advance(100ms);
                supervisor->runDue();
                return done();
            },
            15000);
    }
};

TEST_F(ServerOutputSupervisionTest, AServerThatFailsAtStartLeavesItsLineAndItsExitCodeEverywhere) {
    options.restartBackoffMax = 60s;
    make().load({entry(1, "db", "--say \"fatal: cannot open database /nope/db\" --exit-code 3")});
    const std::string file = dir.file("out/servers/db.log");
    EXPECT_EQ(file, record(1).outputFile());
    ASSERT_TRUE(runUntil([&] { return record(1).lastExit().has_value(); })) << log();

    const std::string text = readFile(file);
    // (A program that ends at once may write before Procward's line is in.)
    EXPECT_TRUE(std::regex_search(
        text, std::regex("(^|\n)\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[procward\\] started pid \\d+\n")))
        << text;
    EXPECT_NE(std::string::npos, text.find("\nfatal: cannot open database /nope/db (stderr)\n")) << text;
    EXPECT_NE(std::string::npos, text.find("fatal: cannot open database /nope/db (stdout)\n")) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("\\[procward\\] exited with code 3 after \\d+\\.\\d s\n$"))) << text;
    EXPECT_EQ(1u, record(1).exits(platform::ExitStatus::How::Code));
    EXPECT_EQ(0u, record(1).exits(platform::ExitStatus::How::Signal));

    // The alert carries the file and how far it went then; the mail quotes it.
    // Gone before the start was over, or soon after: either way an alert
    // about its end.
    const auto down = std::find_if(alerts.events.begin(), alerts.events.end(), [](const AlertEvent& e) {
        return e.kind == AlertKind::ServerDown || e.kind == AlertKind::StartFailed;
    });
    ASSERT_NE(alerts.events.end(), down);
    EXPECT_TRUE(
        down->message == "db: service not working，it will be restarted right away!" ||
        std::regex_match(down->message, std::regex("db could not be started: it exited with code 3 after .* s")))
        << down->message;
    EXPECT_EQ("exited with code 3", down->reason);
    EXPECT_EQ(file, down->outputFile);
    EXPECT_EQ(static_cast<std::int64_t>(text.size()), down->outputEnd);
    // What comes after the alert (the restart) is not quoted.
    append(file, "written later\n");
    const std::vector<std::string> lines = MailAlerts::details(*down, 20, "box7");
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ("", lines[0]);
    EXPECT_EQ("Host: box7", lines[1]);
    EXPECT_EQ("Exit: exited with code 3", lines[2]);
    EXPECT_EQ("Last 4 lines of " + file + ":", lines[3]);
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "  fatal: cannot open database /nope/db (stderr)"));
    EXPECT_EQ(lines.end(), std::find(lines.begin(), lines.end(), "  written later"));
    EXPECT_EQ(3u, MailAlerts::details(*down, 0, "box7").size());

    // ctl's JSON and table, and the metrics, from the snapshot.
    const StatusSnapshot snapshot = StatusBoard::snapshotOf(*supervisor);
    rapidjson::Document json;
    json.Parse(StatusReport::json(snapshot).c_str());
    ASSERT_FALSE(json.HasParseError());
    const auto& server = json["servers"][0];
    ASSERT_TRUE(server["last_exit"].IsObject()) << StatusReport::json(snapshot);
    EXPECT_EQ(3, server["last_exit"]["code"].GetInt());
    EXPECT_FALSE(server["last_exit"].HasMember("signal"));
    EXPECT_FALSE(server["last_exit"]["core_dumped"].GetBool());
    EXPECT_TRUE(server["last_exit"]["ran_seconds"].IsNumber());
    EXPECT_FALSE(std::string(server["last_exit"]["at"].GetString()).empty());
    EXPECT_EQ(std::string("exited with code 3"), server["last_exit_reason"].GetString());
    EXPECT_EQ(file, server["output_file"].GetString());
    EXPECT_EQ(0u, server["restarts"].GetUint64());  // launched once: no restart
    EXPECT_EQ(1u, server["launches"].GetUint64());
    EXPECT_EQ(0, server["uptime_seconds"].GetInt64());
    const std::string metrics = StatusReport::metrics(snapshot, {}, "1.0");
    EXPECT_NE(std::string::npos, metrics.find("procward_server_last_exit_code{name=\"db\"} 3\n")) << metrics;
    EXPECT_NE(std::string::npos, metrics.find("procward_server_exits_total{name=\"db\",how=\"code\"} 1\n"));
    EXPECT_NE(std::string::npos, metrics.find("procward_server_exits_total{name=\"db\",how=\"signal\"} 0\n"));
    EXPECT_NE(std::string::npos, StatusReport::table(snapshot).find("exited with code 3; next "))
        << StatusReport::table(snapshot);
}

TEST_F(ServerOutputSupervisionTest, AKilledServerIsASignalAndAStopWritesItsEndToo) {
    make().load({entry(1, "web", "--say hello"), entry(2, "quiet", "--say nothing")});
    const int pid = record(1).info().pid;
    ASSERT_GT(pid, 0);
    ASSERT_EQ(dir.file("out/servers/web.log"), record(1).capturedIn());
    ASSERT_TRUE(waitFor([&] { return readFile(record(1).outputFile()).find("hello (stderr)") != std::string::npos; }));
    ASSERT_EQ(0, ::kill(pid, SIGKILL));
    ASSERT_TRUE(runUntil([&] { return record(1).lastExit().has_value(); }));
    EXPECT_NE(std::string::npos,
              readFile(record(1).outputFile()).find("[procward] was killed by signal 9 (SIGKILL) after"));
    const StatusSnapshot snapshot = StatusBoard::snapshotOf(*supervisor);
    rapidjson::Document json;
    json.Parse(StatusReport::json(snapshot).c_str());
    EXPECT_EQ(9, json["servers"][0]["last_exit"]["signal"].GetInt());
    EXPECT_NE(std::string::npos,
              StatusReport::metrics(snapshot, {}, "1.0").find("procward_server_last_exit_code{name=\"web\"} -9\n"));

    // The operator's stop ends the history of the second with its end.
    ASSERT_TRUE(await([&](CommandDone done) { supervisor->stop(2, done); }));
    const std::string quiet = readFile(dir.file("out/servers/quiet.log"));
    EXPECT_TRUE(std::regex_search(
        quiet, std::regex("\\[procward\\] was killed by signal (9|15) \\(SIG(KILL|TERM)\\) after .*\n$")))
        << quiet;
    EXPECT_EQ(1u, count(quiet, "[procward] started pid"));
}

TEST_F(ServerOutputSupervisionTest, DiscardedFoundAndUnwritableOutputIsSaidWhereTheOutputWouldBe) {
    // Found running, not launched: its output goes where its starter put it.
    TestServer byHand({"--found-by-hand"}, program);
    ASSERT_GT(byHand.pid(), 0);
    ServerEntry discarded = entry(2, "quiet", "--say nowhere");
    discarded.options.output = ServerOutput::discard;
    make().load({entry(1, "found", "--found-by-hand"), discarded});
    EXPECT_EQ(byHand.pid(), record(1).info().pid);
    EXPECT_EQ("", record(1).capturedIn());
    EXPECT_EQ("it was found running, not started by this Procward: its output is not captured", record(1).outputNote());
    EXPECT_EQ("", record(2).outputFile());
    EXPECT_EQ("its output is discarded (\"output\": \"discard\")", record(2).outputNote());
    EXPECT_GT(record(2).info().pid, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/servers/quiet.log")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/servers/found.log")));
    const StatusSnapshot snapshot = StatusBoard::snapshotOf(*supervisor);
    rapidjson::Document json;
    json.Parse(StatusReport::json(snapshot).c_str());
    EXPECT_EQ(std::string("it was found running, not started by this Procward: its output is not captured"),
              json["servers"][0]["output_note"].GetString());
    EXPECT_TRUE(json["servers"][1]["output_file"].IsNull());

    // Killed from outside: the alert says there is nothing to quote.
    byHand.kill();
    tick();
    const auto down = std::find_if(alerts.events.begin(), alerts.events.end(),
                                   [](const AlertEvent& e) { return e.kind == AlertKind::ServerDown; });
    ASSERT_NE(alerts.events.end(), down);
    const std::vector<std::string> lines = MailAlerts::details(*down, 20, "box7");
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(),
                                     "Output: it was not started by this Procward: its output is not captured"));
    EXPECT_NE(lines.end(),
              std::find(lines.begin(), lines.end(), "Exit: exit status unknown (not started by this Procward)"));
}

TEST_F(ServerOutputSupervisionTest, AnOutputDirectoryThatCannotBeMadeKeepsNoServerDown) {
    // A file where the directory should be.
    ::mkdir(dir.file("out").c_str(), 0777);
    append(dir.file("out/servers"), "in the way\n");
    make().load({entry(1, "web", "--say hello")});
    EXPECT_GT(record(1).info().pid, 0);
    EXPECT_EQ("", record(1).capturedIn());
    EXPECT_NE(std::string::npos, log().find("[ERROR]: web: cannot ")) << log();
    EXPECT_NE(std::string::npos, log().find("; its output is discarded"));
}

}  // namespace

namespace {

using Schedule = OutputLookSchedule;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(OutputLookScheduleTest, AQuietFileIsLookedAtLessAndLessOftenUpToTheLongestWait) {
    Schedule schedule;
    const auto start = Schedule::Clock::time_point{} + seconds(1000);
    auto now = start;
    EXPECT_TRUE(schedule.due(now));
    std::vector<Schedule::Clock::duration> waits;
    for (int look = 0; look < 8; ++look) {
        const auto next = schedule.seen(500, 10 << 20, now, milliseconds(1000));
        waits.push_back(next - now);
        EXPECT_FALSE(schedule.due(next - milliseconds(1)));
        EXPECT_TRUE(schedule.due(next));
        now = next;
    }
    EXPECT_EQ(seconds(1), waits[0]);  // the first look: one period
    EXPECT_EQ(seconds(2), waits[1]);
    EXPECT_EQ(seconds(4), waits[2]);
    EXPECT_EQ(Schedule::kLongest, waits.back());
    for (std::size_t i = 1; i < waits.size(); ++i) EXPECT_GE(waits[i], waits[i - 1]);
}

TEST(OutputLookScheduleTest, AGrowingFileIsLookedAtBeforeItCouldReachTheLimit) {
    Schedule schedule;
    auto now = Schedule::Clock::time_point{} + seconds(1000);
    const std::int64_t limit = 10 << 20;
    // Quiet long enough to wait the longest; then it grows by 1 MB a second.
    std::int64_t size = 0;
    for (int look = 0; look < 8; ++look) now = schedule.seen(size, limit, now, milliseconds(1000));
    size += 1 << 20;
    auto next = schedule.seen(size, limit, now, milliseconds(1000));
    // Seen growing: back to one period, since the rate is not known yet.
    EXPECT_EQ(seconds(1), next - now);
    now = next;
    size += 1 << 20;
    next = schedule.seen(size, limit, now, milliseconds(1000));
    // 8 MB left at 1 MB/s: looked at again halfway, in 4 s, never later than
    // the file could reach the limit.
    EXPECT_EQ(seconds(4), std::chrono::duration_cast<seconds>(next - now));
    EXPECT_LT(next - now, seconds((limit - size) >> 20));
    // Close to the limit, it is looked at every period.
    now = next;
    size = limit - 1000;
    next = schedule.seen(size, limit, now, milliseconds(1000));
    EXPECT_EQ(seconds(1), next - now);
}

TEST(OutputLookScheduleTest, ARotatedOrMissingFileStartsOverAtThePeriod) {
    Schedule schedule;
    auto now = Schedule::Clock::time_point{} + seconds(1000);
    for (int look = 0; look < 6; ++look) now = schedule.seen(4096, 1 << 20, now, milliseconds(500));
    EXPECT_EQ(milliseconds(500), schedule.seen(10, 1 << 20, now, milliseconds(500)) - now);  // rotated
    now += milliseconds(500);
    EXPECT_EQ(milliseconds(500), schedule.seen(-1, 1 << 20, now, milliseconds(500)) - now);  // gone
}

TEST(OutputRotatorTest, RotatesOnlyAFileAboveTheLimitAndSaysSo) {
    TempDir dir;
    const std::string file = dir.file("servers/x.log");
    std::filesystem::create_directories(dir.file("servers"));
    writeFile(file, std::string(2000, 'a'));
    EXPECT_FALSE(OutputRotator::rotateIfLarge(file, 2000, 2000, 2));
    EXPECT_FALSE(OutputRotator::rotateIfLarge(file, 2001, 0, 2));  // no limit
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_FALSE(std::filesystem::exists(file + ".1"));
    EXPECT_TRUE(OutputRotator::rotateIfLarge(file, 2001, 2000, 2));
    EXPECT_TRUE(std::filesystem::exists(file + ".1"));
    EXPECT_EQ(std::string(2000, 'a'), readFile(file + ".1"));
}

}  // namespace
