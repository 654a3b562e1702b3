#include "platform/win32/Win32WideText.h"

#include <windows.h>

#include <cwchar>

namespace platform {
namespace {

// Text in `codePage` into UTF-16. An ill-formed sequence becomes U+FFFD.
std::wstring toWide(std::string_view text, UINT codePage) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int units = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    if (units <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), units);
    return wide;
}

// UTF-16 into `codePage`; characters it lacks become its default character
// ('?'), an unpaired surrogate U+FFFD in UTF-8.
std::string fromWide(std::wstring_view wide, UINT codePage) {
    if (wide.empty()) return {};
    const int units = static_cast<int>(wide.size());
    const int bytes = ::WideCharToMultiByte(codePage, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string text(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(codePage, 0, wide.data(), units, text.data(), bytes, nullptr, nullptr);
    return text;
}

}  // namespace

std::wstring wideText(std::string_view utf8) { return toWide(utf8, CP_UTF8); }

std::string utf8FromWide(std::wstring_view wide) { return fromWide(wide, CP_UTF8); }

std::string utf8FromWide(const wchar_t* wide) {
    return wide ? utf8FromWide(std::wstring_view(wide, std::wcslen(wide))) : std::string();
}

std::string utf8FromCodePage(std::string_view text, unsigned codePage) {
    return fromWide(toWide(text, codePage), CP_UTF8);
}

std::string codePageFromUtf8(std::string_view utf8, unsigned codePage) {
    return fromWide(toWide(utf8, CP_UTF8), codePage);
}

}  // namespace platform
