#include "platform/win32/Win32CommandLine.h"

#include "platform/Text.h"

namespace platform {

std::string Win32CommandLine::programPath(std::string_view commandLine, std::string_view exeName) {
    if (exeName.empty()) return {};
    const auto at = commandLine.find(exeName);
    if (at == std::string_view::npos) return {};
    return std::string(commandLine.substr(0, at + exeName.size()));
}

std::string Win32CommandLine::configuredArguments(std::string_view commandLine) {
    const auto blank = commandLine.find(' ');
    if (blank == std::string_view::npos) return {};
    std::string_view rest = commandLine.substr(blank);
    const auto begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) return {};
    const auto end = rest.find_last_not_of(' ');
    return std::string(rest.substr(begin, end - begin + 1));
}

std::string Win32CommandLine::processArguments(std::string_view commandLine) {
    std::string text;
    text.reserve(commandLine.size());
    for (const char c : commandLine)
        if (c != '"') text += c;
    const auto blank = text.find(' ');
    if (blank == std::string::npos) return {};
    return trimWhite(std::string_view(text).substr(blank));
}

std::string Win32CommandLine::quotedWord(std::string_view word) {
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

}  // namespace platform
