// serverinfo.json and procward.ini as Windows editors save them: UTF-8 with
// or without a byte-order mark (current Notepad, VS Code) or the ANSI code
// page (older tools, the files of an existing installation). The program's
// texts are in the code page (the suite runs under code page 936, where this
// file's Chinese literals are compiled to their GBK bytes); each file is read
// into them and written back in its own encoding.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "config/ProfileFile.h"
#include "config/ServerList.h"
#include "tests/support/TempDir.h"

namespace {

const std::string kBom = "\xEF\xBB\xBF";
// The same Chinese texts in UTF-8, as a UTF-8 file holds them.
const std::string kGameServer1 = "\xE6\xB8\xB8\xE6\x88\x8F\xE6\x9C\x8D" "1";  // 游戏服1
const std::string kNewServer = "\xE6\x96\xB0\xE6\x9C\x8D";                  // 新服
const std::string kOperations = "\xE8\xBF\x90\xE7\xBB\xB4";                 // 运维
const std::string kAlert = "\xE5\x91\x8A\xE8\xAD\xA6";                      // 告警
const std::string kGameServerOne = "\xE6\xB8\xB8\xE6\x88\x8F\xE6\x9C\x8D\xE4\xB8\x80";  // 游戏服一

std::string utf8List(const std::string& name) {
    return "[{\"name\":\"" + name + "\",\"processname\":\"gs.exe\",\"commandline\":\"C:\\\\srv\\\\gs.exe -id 1\","
           "\"note\":\"" + kOperations + "\"}]";
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(Win32TextFilesTest, AUtf8ListWithAByteOrderMarkIsReadInTheCodePageAndEditedBackInUtf8) {
    ASSERT_EQ(936u, ::GetACP()) << "the suite runs under the Chinese code page";
    TempDir dir;
    const std::string path = dir.path() + "\\serverinfo.json";
    writeFile(path, kBom + utf8List(kGameServer1));
    ServerList list(path);
    ASSERT_TRUE(list.load().ok);
    ASSERT_EQ(1u, list.entries().size());
    EXPECT_EQ("游戏服1", list.entries().front().name);

    ASSERT_TRUE(list.add("新服", "gs.exe", "C:\\srv\\gs.exe -id 2").ok);
    std::string bytes = readFile(path);
    EXPECT_EQ(0u, bytes.rfind(kBom, 0)) << "the byte-order mark stays";
    EXPECT_TRUE(contains(bytes, "\"name\":\"" + kNewServer + "\"")) << bytes;
    EXPECT_TRUE(contains(bytes, kBom + utf8List(kGameServer1).substr(0, utf8List(kGameServer1).size() - 1)))
        << "the entry that was not edited keeps its bytes: " << bytes;
    EXPECT_EQ(kBom + utf8List(kGameServer1), readFile(path + ".bak"));

    // The edit of an entry finds it by its texts in the program's code page.
    ASSERT_TRUE(list.load().ok);
    ASSERT_EQ(2u, list.entries().size());
    EXPECT_EQ("新服", list.entries().back().name);
    ASSERT_TRUE(list.replace(list.entries().front(), "游戏服一", "gs.exe", "C:\\srv\\gs.exe -id 1").ok);
    bytes = readFile(path);
    EXPECT_TRUE(contains(bytes, "\"name\":\"" + kGameServerOne + "\"")) << bytes;
    EXPECT_TRUE(contains(bytes, "\"note\":\"" + kOperations + "\"")) << bytes;
    ASSERT_TRUE(list.load().ok);
    EXPECT_EQ("游戏服一", list.entries().front().name);
    ASSERT_TRUE(list.remove(list.entries().back()).ok);
    EXPECT_EQ(kBom + utf8List(kGameServerOne), readFile(path));
}

TEST(Win32TextFilesTest, AUtf8ListWithoutAMarkStaysUtf8AndACodePageListStaysInTheCodePage) {
    TempDir dir;
    const std::string path = dir.path() + "\\serverinfo.json";
    writeFile(path, utf8List(kGameServer1));
    ServerList list(path);
    ASSERT_TRUE(list.load().ok);
    EXPECT_EQ("游戏服1", list.entries().front().name);
    ASSERT_TRUE(list.add("新服", "gs.exe", "C:\\srv\\gs.exe -id 2").ok);
    std::string bytes = readFile(path);
    EXPECT_NE(0u, bytes.rfind(kBom, 0)) << "no mark is added";
    EXPECT_TRUE(contains(bytes, "\"name\":\"" + kNewServer + "\"")) << bytes;

    // This file's literals are the code page's bytes: such a list is read
    // and written without any conversion.
    const std::string codePageList =
        "[{\"name\":\"游戏服1\",\"processname\":\"gs.exe\",\"commandline\":\"C:\\\\srv\\\\gs.exe\",\"note\":\"运维\"}]";
    writeFile(path, codePageList);
    ASSERT_TRUE(list.load().ok);
    EXPECT_EQ("游戏服1", list.entries().front().name);
    ASSERT_TRUE(list.add("新服", "gs.exe", "C:\\srv\\gs.exe -id 2").ok);
    bytes = readFile(path);
    EXPECT_EQ(0u, bytes.rfind(codePageList.substr(0, codePageList.size() - 1), 0)) << bytes;
    EXPECT_TRUE(contains(bytes, "\"name\":\"新服\"")) << bytes;
    EXPECT_FALSE(contains(bytes, kNewServer)) << "no UTF-8 in a code-page file";
}

TEST(Win32TextFilesTest, AUtf8SettingsFileIsReadInTheCodePageAndWrittenBackInUtf8) {
    TempDir dir;
    const std::string path = dir.path() + "\\procward.ini";
    writeFile(path, kBom + "[ALERT_MAIL]\r\nSMTP_USER=" + kAlert + "\r\n; " + kOperations + "\r\n[WEBHOOK." +
                        kOperations + "]\r\nURL=https://chat.example.test/hook\r\n");
    ProfileFile file(path);
    EXPECT_EQ("告警", file.getString("ALERT_MAIL", "SMTP_USER", "", 256));
    ASSERT_EQ(2u, file.sectionNames().size());
    EXPECT_EQ("WEBHOOK.运维", file.sectionNames().back());
    EXPECT_EQ("https://chat.example.test/hook", file.getString("WEBHOOK.运维", "URL", "", 1024));

    file.setString("ALERT_MAIL", "SMTP_USER", "新服");
    ASSERT_TRUE(file.save());
    EXPECT_EQ(kBom + "[ALERT_MAIL]\r\nSMTP_USER=" + kNewServer + "\r\n; " + kOperations + "\r\n[WEBHOOK." +
                  kOperations + "]\r\nURL=https://chat.example.test/hook\r\n",
              readFile(path));
    file.removeSection("WEBHOOK.运维");
    ASSERT_TRUE(file.save());
    EXPECT_EQ(kBom + "[ALERT_MAIL]\r\nSMTP_USER=" + kNewServer + "\r\n; " + kOperations + "\r\n", readFile(path));
}
