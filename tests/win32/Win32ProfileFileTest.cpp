// procward.ini on Windows: a file the system's own profile functions wrote
// (as an existing installation's is) is read as it stands, and what the
// program writes reads back through those functions.
#include <windows.h>

#include <gtest/gtest.h>

#include "config/ProfileFile.h"
#include "tests/support/TempDir.h"

TEST(Win32ProfileFileTest, AFileWrittenByTheSystemsProfileFunctionsIsReadAsItStands) {
    TempDir dir;
    const std::string path = dir.path() + "\\procward.ini";
    ASSERT_TRUE(::WritePrivateProfileStringA("GENERAL", "CHECK_SVR_STATUS_INTERVAL", "7", path.c_str()));
    ASSERT_TRUE(::WritePrivateProfileStringA("ALERT_MAIL", "SMTP_SERVER", "smtp.example.test", path.c_str()));
    // A value in the ANSI code page, as the settings dialog saved it.
    ASSERT_TRUE(::WritePrivateProfileStringA("ALERT_MAIL", "SMTP_USER", "告警", path.c_str()));
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
    char buffer[256] = {};
    ::GetPrivateProfileStringA("ALERT_MAIL", "SMTP_PASSWORD", "", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ("密码 x", std::string(buffer));
    ::GetPrivateProfileStringA("ALERT_MAIL", "SMTP_PORT", "", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ("25", std::string(buffer));
}
