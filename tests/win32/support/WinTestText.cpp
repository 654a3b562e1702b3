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

std::string todaysLogName() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char name[32];
    std::snprintf(name, sizeof name, "procward_%04d%02d%02d.log", now.wYear, now.wMonth, now.wDay);
    return name;
}
