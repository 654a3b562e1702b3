// serverinfo.json and procward.ini as Windows editors save them: UTF-8 with
// or without a byte-order mark (current Notepad, VS Code) or the ANSI code
// page (older tools, the files of an existing installation). The program's
// texts are UTF-8, as this file's literals are; each file is read into them
// and written back in its own encoding. The suite runs under code page 936.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "config/ProfileFile.h"
#include "config/ServerList.h"
#include "tests/support/TempDir.h"

namespace {

const std::string kBom = "\xEF\xBB\xBF";
// The Chinese texts in GBK, as a file in code page 936 holds them.
const std::string kGbkGameServer1 = "\xD3\xCE\xCF\xB7\xB7\xFE" "1";  // 游戏服1
const std::string kGbkNewServer = "\xD0\xC2\xB7\xFE";                  // 新服
const std::string kGbkOperations = "\xD4\xCB\xCE\xAC";                 // 运维
// Korean, which code page 936 cannot hold.
const std::string kKorean = "\xEA\xB2\x8C\xEC\x9E\x84";  // 게임

std::string utf8List(const std::string& name) {
    return "[{\"name\":\"" + name + "\",\"processname\":\"gs.exe\",\"commandline\":\"C:\\\\srv\\\\gs.exe -id 1\","
           "\"note\":\"运维\"}]";
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(Win32TextFilesTest, AUtf8ListWithAByteOrderMarkIsReadAndEditedBackInUtf8) {
    ASSERT_EQ(936u, ::GetACP()) << "the suite runs under the Chinese code page";
    TempDir dir;
    const std::string path = dir.path() + "\\serverinfo.json";
    writeFile(path, kBom + utf8List("游戏服1"));
    ServerList list(path);
    ASSERT_TRUE(list.load().ok);
    ASSERT_EQ(1u, list.entries().size());
    EXPECT_EQ("游戏服1", list.entries().front().name);

    // A Korean name is kept whole, though the system's code page lacks it.
    ASSERT_TRUE(list.add(kKorean, "gs.exe", "C:\\srv\\gs.exe -id 2").ok);
    std::string bytes = readFile(path);
    EXPECT_EQ(0u, bytes.rfind(kBom, 0)) << "the byte-order mark stays";
    EXPECT_TRUE(contains(bytes, "\"name\":\"" + kKorean + "\"")) << bytes;
    const std::string untouched = kBom + utf8List("游戏服1");
    EXPECT_TRUE(contains(bytes, untouched.substr(0, untouched.size() - 1)))
        << "the entry that was not edited keeps its bytes: " << bytes;
    // The list as it was is the newest of its kept copies.
    const std::vector<ListBackups::Generation> copies = list.backups().generations();
    ASSERT_EQ(1u, copies.size());
    EXPECT_EQ(untouched, readFile(copies.front().path));

    ASSERT_TRUE(list.load().ok);
    ASSERT_EQ(2u, list.entries().size());
    EXPECT_EQ(kKorean, list.entries().back().name);
    ASSERT_TRUE(list.replace(list.entries().front(), "游戏服一", "gs.exe", "C:\\srv\\gs.exe -id 1").ok);
    bytes = readFile(path);
    EXPECT_TRUE(contains(bytes, "\"name\":\"游戏服一\"")) << bytes;
    EXPECT_TRUE(contains(bytes, "\"note\":\"运维\"")) << bytes;
    ASSERT_TRUE(list.load().ok);
    EXPECT_EQ("游戏服一", list.entries().front().name);
    ASSERT_TRUE(list.remove(list.entries().back()).ok);
    EXPECT_EQ(kBom + utf8List("游戏服一"), readFile(path));
}

TEST(Win32TextFilesTest, AUtf8ListWithoutAMarkStaysUtf8AndACodePageListStaysInTheCodePage) {
    TempDir dir;
    const std::string path = dir.path() + "\\serverinfo.json";
    writeFile(path, utf8List("游戏服1"));
    ServerList list(path);
    ASSERT_TRUE(list.load().ok);
    EXPECT_EQ("游戏服1", list.entries().front().name);
    ASSERT_TRUE(list.add("新服", "gs.exe", "C:\\srv\\gs.exe -id 2").ok);
    std::string bytes = readFile(path);
    EXPECT_NE(0u, bytes.rfind(kBom, 0)) << "no mark is added";
    EXPECT_TRUE(contains(bytes, "\"name\":\"新服\"")) << bytes;

    // A list an older tool saved in code page 936 is read into the same
    // texts and written back in GBK.
    const std::string codePageList = "[{\"name\":\"" + kGbkGameServer1 +
                                     "\",\"processname\":\"gs.exe\",\"commandline\":\"C:\\\\srv\\\\gs.exe\",\"note\":\"" +
                                     kGbkOperations + "\"}]";
    writeFile(path, codePageList);
    ASSERT_TRUE(list.load().ok);
    EXPECT_EQ("游戏服1", list.entries().front().name);
    ASSERT_TRUE(list.add("新服", "gs.exe", "C:\\srv\\gs.exe -id 2").ok);
    bytes = readFile(path);
    EXPECT_EQ(0u, bytes.rfind(codePageList.substr(0, codePageList.size() - 1), 0)) << bytes;
    EXPECT_TRUE(contains(bytes, "\"name\":\"" + kGbkNewServer + "\"")) << bytes;
    EXPECT_FALSE(contains(bytes, "新服")) << "no UTF-8 in a code-page file";
    ASSERT_TRUE(list.load().ok);
    ASSERT_EQ(2u, list.entries().size());
    EXPECT_EQ("新服", list.entries().back().name);
}

TEST(Win32TextFilesTest, AUtf8SettingsFileIsReadAndWrittenBackInUtf8) {
    TempDir dir;
    const std::string path = dir.path() + "\\procward.ini";
    writeFile(path, kBom + "[ALERT_MAIL]\r\nSMTP_USER=告警\r\n; 运维\r\n[WEBHOOK.运维]\r\nURL=https://chat.example.test/hook\r\n");
    ProfileFile file(path);
    EXPECT_EQ("告警", file.getString("ALERT_MAIL", "SMTP_USER", "", 256));
    ASSERT_EQ(2u, file.sectionNames().size());
    EXPECT_EQ("WEBHOOK.运维", file.sectionNames().back());
    EXPECT_EQ("https://chat.example.test/hook", file.getString("WEBHOOK.运维", "URL", "", 1024));

    file.setString("ALERT_MAIL", "SMTP_USER", kKorean);
    ASSERT_TRUE(file.save());
    EXPECT_EQ(kBom + "[ALERT_MAIL]\r\nSMTP_USER=" + kKorean +
                  "\r\n; 运维\r\n[WEBHOOK.运维]\r\nURL=https://chat.example.test/hook\r\n",
              readFile(path));
    file.removeSection("WEBHOOK.运维");
    ASSERT_TRUE(file.save());
    EXPECT_EQ(kBom + "[ALERT_MAIL]\r\nSMTP_USER=" + kKorean + "\r\n; 运维\r\n", readFile(path));

    // A settings file in the code page stays there.
    writeFile(path, "[ALERT_MAIL]\r\nSMTP_USER=" + kGbkOperations + "\r\n");
    ProfileFile codePage(path);
    EXPECT_EQ("运维", codePage.getString("ALERT_MAIL", "SMTP_USER", "", 256));
    codePage.setString("ALERT_MAIL", "SMTP_SERVER", "新服");
    ASSERT_TRUE(codePage.save());
    EXPECT_TRUE(contains(readFile(path), "SMTP_SERVER=" + kGbkNewServer)) << readFile(path);
}
