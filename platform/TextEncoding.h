#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// The code page of the supervisor's 8-bit texts, as mail headers name it.
namespace platform {

// MIME charset name of the 8-bit texts ("UTF-8" here).
const std::string& textCharset();

// Length of the longest start of `text` of at most maxBytes bytes that does
// not cut a multi-byte character in two. 0 only when maxBytes is 0 or the text
// is empty.
std::size_t wholeCharacterPrefix(std::string_view text, std::size_t maxBytes);

// The text in UTF-8, for output that must be UTF-8 whatever bytes a name
// holds (JSON, the metrics): here with every ill-formed sequence replaced
// by U+FFFD; on Windows converted from the ANSI code page.
std::string utf8Text(std::string_view text);

// The text as a terminal of this system shows it (ctl's table and answers):
// here UTF-8 with ill-formed sequences replaced; on Windows the 8-bit text
// as it is, since the console shows the code page.
std::string terminalText(std::string_view text);

}  // namespace platform
