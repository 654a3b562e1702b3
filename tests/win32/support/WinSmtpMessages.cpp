#include "tests/win32/support/WinSmtpMessages.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "tests/support/TempDir.h"

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string windowsPath(std::string path) {
    if (path.empty()) return path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return "Z:" + path;
}

int messageCount(const std::string& outdir) {
    int count = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = ::FindFirstFileA((outdir + "\\msg-*.json").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do ++count;
    while (::FindNextFileA(search, &found));
    ::FindClose(search);
    return count;
}

bool lastMessage(const std::string& outdir, rapidjson::Document& message) {
    char name[32];
    std::snprintf(name, sizeof name, "\\msg-%04d.json", messageCount(outdir));
    const std::string text = readFile(outdir + name);
    message.Parse(text.c_str());
    return !message.HasParseError() && message.IsObject();
}
