#include "tests/win32/support/WinTestText.h"

#include <windows.h>

#include <cstdio>

std::string jsonEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::string todaysLogName(const std::string& program) {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char day[16];
    std::snprintf(day, sizeof day, "%04d%02d%02d", now.wYear, now.wMonth, now.wDay);
    return program + "_" + day + ".log";
}
