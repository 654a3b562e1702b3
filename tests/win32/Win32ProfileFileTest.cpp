// procward.ini on Windows: a file the system's own profile functions wrote
// (as an existing installation's is, in the ANSI code page) is read as it
// stands, and what the program writes reads back through those functions.
// The texts are compared in UTF-8, the program's own.
#include <windows.h>

#include <gtest/gtest.h>

#include "config/ProfileFile.h"
#include "platform/win32/Win32WideText.h"
#include "tests/support/TempDir.h"

TEST(Win32ProfileFileTest, AFileWrittenByTheSystemsProfileFunctionsIsReadAsItStands) {
    TempDir dir;
    const std::string path = dir.path() + "\\procward.ini";
    ASSERT_TRUE(::WritePrivateProfileStringA("GENERAL", "CHECK_SVR_STATUS_INTERVAL", "7", path.c_str()));
    ASSERT_TRUE(::WritePrivateProfileStringA("ALERT_MAIL", "SMTP_SERVER", "smtp.example.test", path.c_str()));
    // A Chinese value, which the system writes in the ANSI code page.
    ASSERT_TRUE(::WritePrivateProfileStringW(L"ALERT_MAIL", L"SMTP_USER", platform::wideText("告警").c_str(),
                                             platform::wideText(path).c_str()));
    ASSERT_TRUE(::WritePrivateProfileStringA("ALERT_MAIL", "SMTP_MAILTO", "a@example.test;b@example.test;",
                                             path.c_str()));
    ::WritePrivateProfileStringA(nullptr, nullptr, nullptr, path.c_str());  // flushes the system's cache

    ProfileFile file(path);
    EXPECT_EQ(7, file.getInt("GENERAL", "CHECK_SVR_STATUS_INTERVAL", 3));
    EXPECT_EQ(5, file.getInt("ALERT_MAIL", "MIN_ALERT_INTERVAL", 5));
    EXPECT_EQ("smtp.example.test", file.getString("ALERT_MAIL", "SMTP_SERVER", "", 256));
    EXPECT_EQ("告警", file.getString("ALERT_MAIL", "SMTP_USER", "", 256));
    EXPECT_EQ("a@example.test;b@example.test;", file.getString("ALERT_MAIL", "SMTP_MAILTO", "", 2048));
}

TEST(Win32ProfileFileTest, WhatTheProgramSavesReadsBackThroughTheSystemsProfileFunctions) {
    TempDir dir;
    const std::string path = dir.path() + "\\procward.ini";
    ProfileFile file(path);
    file.setString("GENERAL", "CHECK_SVR_STATUS_INTERVAL", "10");
    file.setString("ALERT_MAIL", "SMTP_PASSWORD", " 密码 x ");
    file.setString("ALERT_MAIL", "SMTP_PORT", "25");
    ASSERT_TRUE(file.save());
    EXPECT_EQ(10u, ::GetPrivateProfileIntA("GENERAL", "CHECK_SVR_STATUS_INTERVAL", 3, path.c_str()));
    wchar_t wide[256] = {};
    ::GetPrivateProfileStringW(L"ALERT_MAIL", L"SMTP_PASSWORD", L"", wide, 256, platform::wideText(path).c_str());
    EXPECT_EQ("密码 x", platform::utf8FromWide(wide));
    char buffer[256] = {};
    ::GetPrivateProfileStringA("ALERT_MAIL", "SMTP_PORT", "", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ("25", std::string(buffer));
}
