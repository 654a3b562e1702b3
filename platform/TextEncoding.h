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

}  // namespace platform
