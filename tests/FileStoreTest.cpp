#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/FileStore.h"
#include "tests/support/TempDir.h"

namespace {

using platform::NewFileAccess;

std::size_t entriesIn(const std::string& directory) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++n;
    return n;
}

unsigned modeOf(const std::string& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFFu;
}

TEST(FileStoreTest, MissingDirectoryFailsWithoutCreatingAnything) {
    TempDir dir;
    EXPECT_FALSE(platform::replaceWholeFile(dir.file("no/such/file"), "x", NewFileAccess::shared));
    EXPECT_EQ(0u, entriesIn(dir.path()));
}

TEST(FileStoreTest, NewFilesGetTheRequestedAccess) {
    TempDir dir;
    const mode_t previous = ::umask(022);
    EXPECT_TRUE(platform::replaceWholeFile(dir.file("shared"), "s", NewFileAccess::shared));
    EXPECT_TRUE(platform::replaceWholeFile(dir.file("secret"), "p", NewFileAccess::ownerOnly));
    ::umask(previous);
    EXPECT_EQ(0644u, modeOf(dir.file("shared")));
    EXPECT_EQ(0600u, modeOf(dir.file("secret")));
    EXPECT_EQ("p", readFile(dir.file("secret")));
}

TEST(FileStoreTest, ReplacesTheTargetOfASymbolicLink) {
    TempDir dir;
    writeFile(dir.file("real"), "old");
    ASSERT_EQ(0, ::symlink("real", dir.file("link").c_str()));
    EXPECT_TRUE(platform::replaceWholeFile(dir.file("link"), "new", NewFileAccess::shared));
    EXPECT_EQ("new", readFile(dir.file("real")));
    struct stat st {};
    ASSERT_EQ(0, ::lstat(dir.file("link").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(FileStoreTest, ReadTellsAMissingFileFromAnUnreadableOne) {
    TempDir dir;
    std::string bytes = "stale";
    EXPECT_EQ(platform::FileRead::missing, platform::readWholeFile(dir.file("none"), bytes));
    EXPECT_EQ("", bytes);
    EXPECT_EQ(platform::FileRead::failed, platform::readWholeFile(dir.path(), bytes));
    writeFile(dir.file("bin"), std::string("a\0b\r\n", 5));
    EXPECT_EQ(platform::FileRead::ok, platform::readWholeFile(dir.file("bin"), bytes));
    EXPECT_EQ(std::string("a\0b\r\n", 5), bytes);
}

}  // namespace
