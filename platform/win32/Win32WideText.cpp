#include "platform/win32/Win32WideText.h"

#include <windows.h>

#include <cwchar>

namespace platform {

std::wstring wideText(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int size = static_cast<int>(utf8.size());
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    if (units <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), units);
    return wide;
}

std::string utf8FromWide(std::wstring_view wide) {
    if (wide.empty()) return {};
    const int units = static_cast<int>(wide.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string text(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, text.data(), bytes, nullptr, nullptr);
    return text;
}

std::string utf8FromWide(const wchar_t* wide) {
    return wide ? utf8FromWide(std::wstring_view(wide, std::wcslen(wide))) : std::string();
}

std::string utf8FromCodePage(std::string_view text, unsigned codePage) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int units = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    if (units <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), units);
    return utf8FromWide(wide);
}

std::string codePageFromUtf8(std::string_view utf8, unsigned codePage) {
    const std::wstring wide = wideText(utf8);
    if (wide.empty()) return {};
    const int units = static_cast<int>(wide.size());
    // Characters the code page lacks become its default character ('?').
    const int bytes = ::WideCharToMultiByte(codePage, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string text(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(codePage, 0, wide.data(), units, text.data(), bytes, nullptr, nullptr);
    return text;
}

}  // namespace platform
