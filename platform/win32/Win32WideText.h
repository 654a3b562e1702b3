#pragma once
#include <string>
#include <string_view>

// The program's texts are UTF-8 on every system; the system's own
// interfaces are used in their wide (UTF-16) form, so a path or a command
// line with characters outside the ANSI code page goes through whole.
namespace platform {

// UTF-8 into UTF-16. An ill-formed sequence becomes U+FFFD.
std::wstring wideText(std::string_view utf8);

// UTF-16 into UTF-8. An unpaired surrogate becomes U+FFFD.
std::string utf8FromWide(std::wstring_view wide);

// A NUL-terminated wide buffer (as a system call fills it) into UTF-8,
// up to its first NUL.
std::string utf8FromWide(const wchar_t* wide);

// Text in a code page (the ANSI or the console's) into UTF-8 and back.
std::string utf8FromCodePage(std::string_view text, unsigned codePage);
std::string codePageFromUtf8(std::string_view utf8, unsigned codePage);

}  // namespace platform
