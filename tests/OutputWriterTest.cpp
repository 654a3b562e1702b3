// The writer that carries a server's output from its pipe to its file: run
// as the program it is, fed through a real pipe, on a real and on a full
// file system.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "supervision/ServerOutputFile.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"
#include "tests/support/linux/SmallFileSystem.h"

namespace {

// procward-output started on `file` with a pipe as its input; the test
// writes into `in` and closes it to end the writer.
class RunningWriter {
public:
    RunningWriter(const std::string& file, long long maxBytes, int backups) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        const int out = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
        const std::string max = std::to_string(maxBytes), count = std::to_string(backups);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[0], 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execl(PROCWARD_OUTPUT_WRITER, "procward-output", file.c_str(), max.c_str(), count.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[0]);
        ::close(out);
        in = fds[1];
    }
    ~RunningWriter() { end(); }

    bool write(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(in, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // True once the writer has taken everything out of the pipe.
    bool drained() const {
        int pending = 0;
        return ::ioctl(in, FIONREAD, &pending) == 0 && pending == 0;
    }
    // Closes the pipe and waits for the writer's exit code.
    int end() {
        if (in >= 0) ::close(in);
        in = -1;
        if (pid_ <= 0) return -1;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int in = -1;

private:
    pid_t pid_ = 0;
};

std::string linesFrom(std::size_t first, std::size_t count, std::mt19937& random) {
    std::string text;
    for (std::size_t n = first; n < first + count; ++n)
        text += "line " + std::to_string(n) + " " + std::string(random() % 300, 'x') + "\n";
    return text;
}

TEST(OutputWriterTest, RotatesByRenamingAtLineEndsWithinTheLimitAndLosesNothing) {
    TempDir dir;
    const std::string file = dir.file("game.log");
    constexpr long long kMax = 20000;
    std::mt19937 random(7);
    std::string stream;
    {
        RunningWriter writer(file, kMax, 3);
        ASSERT_GE(writer.in, 0);
        // Writes of every size, cut anywhere within a line, as a server's
        // buffered output comes.
        const std::string all = linesFrom(1, 3000, random);
        for (std::size_t at = 0; at < all.size();) {
            const std::size_t size = std::min<std::size_t>(all.size() - at, 1 + random() % 9000);
            ASSERT_TRUE(writer.write(all.substr(at, size)));
            at += size;
        }
        stream = all;
        EXPECT_EQ(0, writer.end());
    }
    // Four files, each within the limit and ending at a line's end; none
    // beyond the backups kept.
    std::string kept;
    for (int n = 3; n >= 0; --n) {
        const std::string path = n == 0 ? file : ServerOutputFile::backupPath(file, n);
        const std::string text = readFile(path);
        SCOPED_TRACE(path);
        EXPECT_LE(static_cast<long long>(text.size()), kMax);
        if (n > 0) {
            EXPECT_GT(text.size(), static_cast<std::size_t>(kMax) - 400) << "rotated early";
        }
        ASSERT_FALSE(text.empty());
        EXPECT_EQ('\n', text.back());
        struct stat info {};
        ASSERT_EQ(0, ::stat(path.c_str(), &info));
        EXPECT_EQ(0640u, info.st_mode & 0777u);
        kept += text;
    }
    EXPECT_FALSE(std::filesystem::exists(ServerOutputFile::backupPath(file, 4)));
    // What the files hold is exactly the end of what was written.
    ASSERT_LE(kept.size(), stream.size());
    EXPECT_TRUE(stream.compare(stream.size() - kept.size(), kept.size(), kept) == 0);

    // No backups: the file is emptied instead, and no limit: it only grows.
    const std::string alone = dir.file("alone.log");
    RunningWriter emptied(alone, 5000, 0);
    ASSERT_TRUE(emptied.write(linesFrom(1, 200, random)));
    EXPECT_EQ(0, emptied.end());
    EXPECT_LE(ServerOutputFile::size(alone), 5000);
    EXPECT_FALSE(std::filesystem::exists(ServerOutputFile::backupPath(alone, 1)));
    const std::string endless = dir.file("endless.log");
    RunningWriter unlimited(endless, 0, 3);
    const std::string lots = linesFrom(1, 2000, random);
    ASSERT_TRUE(unlimited.write(lots));
    EXPECT_EQ(0, unlimited.end());
    EXPECT_EQ(lots, readFile(endless));
}

// On a small file system of its own (a tmpfs in a mount namespace of a
// child process), filled twice: the newest bytes are dropped, the pipe is
// still drained, the backups stay, and once there is room again a line
// says how much went and capture goes on.
TEST(OutputWriterTest, OnAFullDiskTheNewestBytesGoWithOneMarkerAndCaptureComesBack) {
    TempDir dir;
    const std::string mountPoint = dir.file("small");
    ASSERT_EQ(0, ::mkdir(mountPoint.c_str(), 0700));
    const std::string report = dir.file("report");
    const int ran = inSmallFileSystem(mountPoint, "512k", [&] {
        const std::string file = mountPoint + "/s.log";
        writeFile(ServerOutputFile::backupPath(file, 1), "one\n");
        std::string seen;
        RunningWriter writer(file, 400 * 1024, 1);
        const auto fill = [&] {
            std::FILE* filler = std::fopen((mountPoint + "/filler").c_str(), "wb");
            const std::string block(4096, 'f');
            while (filler && std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
                   std::fflush(filler) == 0) {
            }
            if (filler) std::fclose(filler);
        };
        for (int round = 1; round <= 2; ++round) {
            fill();
            // Four times what a pipe holds: the writer must read (and drop)
            // it for the writes to return.
            const bool drained = writer.write(std::string(256 * 1024, 'd') + "\n");
            while (!writer.drained()) ::sched_yield();
            std::filesystem::remove(mountPoint + "/filler");
            writer.write("after " + std::to_string(round) + "\n");
            seen += "round " + std::to_string(round) + (drained ? " drained\n" : " blocked\n");
            while (!writer.drained()) ::sched_yield();
        }
        seen += "exit " + std::to_string(writer.end()) + "\n";
        const std::string text = readFile(file);
        seen += "backup " + readFile(ServerOutputFile::backupPath(file, 1));
        std::size_t markers = 0;
        for (std::size_t at = text.find("bytes dropped: no space left\n"); at != std::string::npos;
             at = text.find("bytes dropped: no space left\n", at + 1))
            ++markers;
        seen += "markers " + std::to_string(markers) + "\n";
        for (const char* after : {"after 1\n", "after 2\n"})
            seen += std::string(after).substr(0, 7) + (text.find(after) != std::string::npos ? " kept\n" : " lost\n");
        // What a full disk took: the block, less the few bytes that still fitted.
        const std::size_t marker = text.find("[procward] ");
        const long long dropped = marker == std::string::npos ? 0 : std::atoll(text.c_str() + marker + 11);
        seen +=
            std::string("dropped ") + (dropped > 200 * 1024 && dropped <= 256 * 1024 + 1 ? "the block" : text) + "\n";
        writeFile(report, seen);
    });
    if (ran == kNoSmallFileSystem) GTEST_SKIP() << "no tmpfs could be mounted here (needs root)";
    ASSERT_EQ(0, ran);
    EXPECT_EQ(
        "round 1 drained\nround 2 drained\nexit 0\nbackup one\nmarkers 2\nafter 1 kept\nafter 2 kept\n"
        "dropped the block\n",
        readFile(report));
}

}  // namespace
