// The registry value, the named mutex, file replacement and the ANSI code
// page, on the real system (Wine's registry under Wine).
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <vector>

#include "app/core/StatusReport.h"
#include "config/AppDirectories.h"
#include "platform/FileStore.h"
#include "platform/System.h"
#include "platform/TextEncoding.h"
#include "platform/win32/Win32Autostart.h"
#include "platform/win32/Win32SingleInstance.h"
#include "tests/support/TempDir.h"
#include "ui/model/AutoRun.h"

TEST(Win32AutostartTest, TheRunValueHoldsTheQuotedCommandAndIsReplaced) {
    const std::string name = "ProcwardTest" + std::to_string(::GetCurrentProcessId());
    platform::Win32Autostart autostart;
    std::string where;
    int error = -1;
    const platform::AutostartResult result =
        autostart.registerEntry(name, "C:\\Program Files\\Procward\\procward.exe", {}, where, error);
    if (result == platform::AutostartResult::WrittenInstead)
        GTEST_SKIP() << "this account may not write HKEY_LOCAL_MACHINE";
    ASSERT_EQ(platform::AutostartResult::Written, result) << error;
    EXPECT_EQ("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", where);
    std::string data;
    ASSERT_TRUE(platform::Win32Autostart::readEntry(name, data));
    EXPECT_EQ("\"C:\\Program Files\\Procward\\procward.exe\"", data);

    ASSERT_EQ(platform::AutostartResult::Written,
              autostart.registerEntry(name, "D:\\other\\procward.exe", {"--config-dir", "D:\\my games\\"}, where,
                                      error));
    ASSERT_TRUE(platform::Win32Autostart::readEntry(name, data));
    // A backslash before the closing quote is doubled, or it would escape it.
    EXPECT_EQ("\"D:\\other\\procward.exe\" \"--config-dir\" \"D:\\my games\\\\\"", data);
    EXPECT_TRUE(platform::Win32Autostart::removeEntry(name));
    EXPECT_FALSE(platform::Win32Autostart::readEntry(name, data));
}

TEST(Win32AutostartTest, TheCommandIsSplitBackIntoTheSameWords) {
    const std::vector<std::string> words = {"C:\\a b\\procward.exe", "--config-dir", "C:\\x \"y\"\\z\\", "", "--log-dir",
                                            "\\\\host\\share\\logs"};
    const std::string text = platform::Win32Autostart::commandText(words[0], {words.begin() + 1, words.end()});
    const std::wstring wide(text.begin(), text.end());
    int count = 0;
    LPWSTR* split = ::CommandLineToArgvW(wide.c_str(), &count);
    ASSERT_NE(nullptr, split);
    std::vector<std::string> back;
    for (int i = 0; i < count; ++i) {
        const std::wstring word = split[i];
        back.emplace_back(word.begin(), word.end());
    }
    ::LocalFree(split);
    EXPECT_EQ(words, back);
}

TEST(Win32AutostartTest, AMachineKeyThatCannotBeWrittenLeavesTheEntryInTheUsersKey) {
    // Wine's account may write the machine's key; one that does not exist
    // (it is opened, never created) stands for a standard user's refusal.
    const std::string name = "ProcwardTest" + std::to_string(::GetCurrentProcessId());
    platform::Win32Autostart autostart("Software\\ProcwardTestMissing\\Run");
    std::string where;
    int error = 0;
    ASSERT_EQ(platform::AutostartResult::WrittenInstead,
              autostart.registerEntry(name, "C:\\srv\\procward.exe", {"--log-dir", "C:\\logs"}, where, error));
    EXPECT_EQ("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", where);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, error);
    std::string data;
    EXPECT_TRUE(platform::Win32Autostart::readEntry(name, data, HKEY_CURRENT_USER));
    EXPECT_EQ("\"C:\\srv\\procward.exe\" \"--log-dir\" \"C:\\logs\"", data);
    EXPECT_FALSE(platform::Win32Autostart::readEntry(name, data, HKEY_LOCAL_MACHINE));
    EXPECT_TRUE(platform::Win32Autostart::removeEntry(name, HKEY_CURRENT_USER));
}

TEST(Win32AutostartTest, RegisterAutoRunWritesTheRunningProgramWithItsDirectories) {
    std::string previous;
    const bool hadValue = platform::Win32Autostart::readEntry("Procward", previous);
    TempDir dir;
    AppDirectories::setConfigDirectory(dir.path() + "\\conf dir");
    AppDirectories::setLogDirectory(dir.path() + "\\logs");
    const AutoRunResult result = RegisterAutoRun();
    AppDirectories::setConfigDirectory("");
    AppDirectories::setLogDirectory("");
    ASSERT_EQ(AutoRunResult::Registered, result);
    std::string data;
    ASSERT_TRUE(platform::Win32Autostart::readEntry("Procward", data));
    EXPECT_EQ("\"" + platform::executablePath() + "\" \"--config-dir\" \"" + dir.path() + "\\conf dir\" \"--log-dir\" \"" +
                  dir.path() + "\\logs\"",
              data);
    std::string where;
    int error = 0;
    if (hadValue)
        platform::Win32Autostart().registerEntry("Procward", previous, {}, where, error);
    else
        platform::Win32Autostart::removeEntry("Procward");
}

TEST(Win32SingleInstanceTest, OnlyOneHolderOfTheNameAtATime) {
    const std::string name = "Global\\ProcwardTest" + std::to_string(::GetCurrentProcessId());
    auto first = std::make_unique<platform::Win32SingleInstance>();
    ASSERT_TRUE(first->acquire(name));
    EXPECT_TRUE(first->acquire(name));  // its holder keeps it
    platform::Win32SingleInstance second;
    EXPECT_FALSE(second.acquire(name));
    // Another process sees it too.
    HANDLE seen = ::OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    EXPECT_NE(nullptr, seen);
    if (seen) ::CloseHandle(seen);
    first.reset();
    platform::Win32SingleInstance third;
    EXPECT_TRUE(third.acquire(name));
    platform::Win32SingleInstance unnamed;
    EXPECT_FALSE(unnamed.acquire(""));
}

TEST(Win32FileStoreTest, AFileIsReplacedWholeAndNothingIsLeftBeside) {
    TempDir dir;
    const std::string path = dir.path() + "\\serverinfo.json";
    std::string bytes;
    EXPECT_EQ(platform::FileRead::missing, platform::readWholeFile(path, bytes));
    ASSERT_TRUE(platform::replaceWholeFile(path, "first\r\n", platform::NewFileAccess::shared));
    ASSERT_EQ(platform::FileRead::ok, platform::readWholeFile(path, bytes));
    EXPECT_EQ("first\r\n", bytes);
    ASSERT_TRUE(platform::replaceWholeFile(path, std::string("second\0x", 8), platform::NewFileAccess::ownerOnly));
    ASSERT_EQ(platform::FileRead::ok, platform::readWholeFile(path, bytes));
    EXPECT_EQ(std::string("second\0x", 8), bytes);
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(1, entries);
    EXPECT_EQ(platform::FileRead::failed, platform::readWholeFile(dir.path(), bytes));
    EXPECT_EQ(platform::FileRead::missing, platform::readWholeFile(dir.path() + "\\no\\such.json", bytes));
}

TEST(Win32FileStoreTest, AReadOnlyFileIsLeftAsItWas) {
    TempDir dir;
    const std::string path = dir.path() + "\\procward.ini";
    ASSERT_TRUE(platform::replaceWholeFile(path, "old", platform::NewFileAccess::shared));
    ASSERT_TRUE(::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(platform::replaceWholeFile(path, "new", platform::NewFileAccess::shared));
    std::string bytes;
    ASSERT_EQ(platform::FileRead::ok, platform::readWholeFile(path, bytes));
    EXPECT_EQ("old", bytes);
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(platform::replaceWholeFile(dir.path(), "x", platform::NewFileAccess::shared));
}

// Gives the file an access list that lets everybody read it.
bool openToEverybody(const std::string& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;OW)(A;;FR;;;WD)", SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    bool ok = ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present;
    std::string name = path;
    ok = ok && ::SetNamedSecurityInfoA(name.data(), SE_FILE_OBJECT,
                                       DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, dacl, nullptr) == ERROR_SUCCESS;
    ::LocalFree(descriptor);
    return ok;
}

TEST(Win32FileStoreTest, AFileEverybodyMayReadIsRestrictedToItsOwner) {
    TempDir dir;
    const std::string path = dir.path() + "\\procward.ini";
    EXPECT_FALSE(platform::readableByOthers(path));
    EXPECT_TRUE(platform::restrictToOwner(path));
    EXPECT_FALSE(platform::fileExists(path));

    ASSERT_TRUE(platform::replaceWholeFile(path, "[AlertMail]\r\n", platform::NewFileAccess::ownerOnly));
    EXPECT_FALSE(platform::readableByOthers(path));
    ASSERT_TRUE(openToEverybody(path));
    if (!platform::readableByOthers(path))
        GTEST_SKIP() << "this system keeps no access list on files (an entry for everybody did not stay)";
    const bool restricted = platform::restrictToOwner(path);
    if (!restricted && ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version"))
        GTEST_SKIP() << "Wine keeps the entry for everybody that it derives from the Unix file mode "
                        "when a file's access list is replaced";
    EXPECT_TRUE(restricted);
    EXPECT_FALSE(platform::readableByOthers(path));
    std::string bytes;
    ASSERT_EQ(platform::FileRead::ok, platform::readWholeFile(path, bytes));
    EXPECT_EQ("[AlertMail]\r\n", bytes);
    // Replacing the file keeps the restricted access list.
    ASSERT_TRUE(platform::replaceWholeFile(path, "x", platform::NewFileAccess::shared));
    EXPECT_FALSE(platform::readableByOthers(path));
}

TEST(Win32SystemFactsTest, PathsAndSuffixesAreThoseOfWindows) {
    const std::string exe = platform::executablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ('\\', platform::pathSeparator());
    EXPECT_EQ(".exe", exe.substr(exe.size() - 4));
    EXPECT_TRUE(platform::fileExists(exe));
    EXPECT_TRUE(platform::directoryExists(exe.substr(0, exe.find_last_of('\\'))));
    EXPECT_FALSE(platform::directoryExists(exe));
    EXPECT_EQ(".exe", platform::executableSuffix());
    EXPECT_EQ(".bat", platform::scriptSuffix());
    std::string host;
    EXPECT_TRUE(platform::hostName(host));
    EXPECT_FALSE(host.empty());
    // The system's own wording, without the line end it comes with.
    const std::string text = platform::errorText(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(text.empty());
    EXPECT_NE('\n', text.back());
    EXPECT_EQ(std::string::npos, text.find("error 2"));
}

TEST(Win32TextEncodingTest, TheProgramsTextsAreUtf8WhateverTheCodePage) {
    // The sources' literals, the mail charset and the character bounds are
    // UTF-8's, under code page 936 as under any other.
    EXPECT_EQ(std::string("\xE5\x91\x8A\xE8\xAD\xA6"), std::string("告警"));
    EXPECT_EQ("UTF-8", platform::textCharset());
    const std::string text = "a告警";  // 1 + 3 + 3 bytes
    EXPECT_EQ(1u, platform::wholeCharacterPrefix(text, 3));
    EXPECT_EQ(4u, platform::wholeCharacterPrefix(text, 4));
    EXPECT_EQ(4u, platform::wholeCharacterPrefix(text, 6));
    EXPECT_EQ(7u, platform::wholeCharacterPrefix(text, 7));
    // A file in the code page is converted both ways; what the code page
    // lacks becomes '?' there.
    using platform::FileTextEncoding;
    EXPECT_EQ("告警", platform::fromFileText("\xB8\xE6\xBE\xAF", FileTextEncoding::system));
    EXPECT_EQ("\xB8\xE6\xBE\xAF", platform::toFileText("告警", FileTextEncoding::system));
    EXPECT_EQ("??", platform::toFileText("\xEA\xB2\x8C\xEC\x9E\x84", FileTextEncoding::system));
    EXPECT_EQ("告警", platform::toFileText("告警", FileTextEncoding::utf8));
}

TEST(Win32TextEncodingTest, SystemInterfacesTakeAndGiveUtf8Paths) {
    // A folder whose name code page 936 lacks (Korean) is made, found, and
    // named back by the system in UTF-8.
    TempDir dir;
    const std::string folder = dir.path() + "\\\xEC\x84\x9C\xEB\xB2\x84";  // 서버
    ASSERT_TRUE(platform::createDirectory(folder));
    EXPECT_TRUE(platform::directoryExists(folder));
    const std::string file = folder + "\\note.txt";
    ASSERT_TRUE(platform::replaceWholeFile(file, "text", platform::NewFileAccess::shared));
    EXPECT_TRUE(platform::fileExists(file));
    EXPECT_EQ(4, platform::fileSize(file));
    std::string bytes;
    EXPECT_EQ(platform::FileRead::ok, platform::readWholeFile(file, bytes));
    EXPECT_EQ("text", bytes);
    std::FILE* opened = platform::openFile(file, "ab");
    ASSERT_NE(nullptr, opened);
    std::fputs("!", opened);
    std::fclose(opened);
    EXPECT_EQ(5, platform::fileSize(file));
    EXPECT_EQ(folder, platform::pathText(platform::filePath(folder)));
    EXPECT_TRUE(std::filesystem::is_directory(platform::filePath(folder)));
}

TEST(Win32StatusTimeTest, StartTimesCarryANumericOffsetInEveryZone) {
    // The C runtime's own zone text would be a name ("China Standard Time",
    // in the code page); the offset is computed instead.
    const std::int64_t time = 1767225600;  // 2026-01-01T00:00:00Z
    const std::pair<const char*, const char*> zones[] = {
        {"CST-8", "2026-01-01T08:00:00+08:00"},
        {"NST3:30", "2025-12-31T20:30:00-03:30"},
        {"GMT0", "2026-01-01T00:00:00+00:00"},
    };
    for (const auto& [zone, expected] : zones) {
        ::_putenv_s("TZ", zone);
        ::_tzset();
        EXPECT_EQ(expected, StatusReport::isoTime(time)) << zone;
    }
    ::_putenv_s("TZ", "");
    ::_tzset();
    // Without TZ, the system's zone: the local time Windows itself gives,
    // and only ASCII.
    SYSTEMTIME utc{}, local{};
    FILETIME file{};
    const ULONGLONG ticks = (static_cast<ULONGLONG>(time) + 11644473600ULL) * 10000000ULL;
    file.dwLowDateTime = static_cast<DWORD>(ticks);
    file.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    ASSERT_TRUE(::FileTimeToSystemTime(&file, &utc));
    ASSERT_TRUE(::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
    const std::string iso = StatusReport::isoTime(time);
    char date[32];
    std::snprintf(date, sizeof date, "%04u-%02u-%02uT%02u:%02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
                  local.wMinute, local.wSecond);
    EXPECT_EQ(0u, iso.find(date)) << iso;
    ASSERT_EQ(25u, iso.size()) << iso;
    for (char c : iso) EXPECT_TRUE(c > 0 && c < 0x7f) << iso;
}
