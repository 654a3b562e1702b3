#pragma once
#include <string>
#include <string_view>

// Text rules shared by the supervisor. Texts are UTF-8 strings on every
// system; comparisons that ignore case fold the
// ASCII letters only, so multi-byte characters compare as units.
namespace platform {

bool equalsNoCase(std::string_view a, std::string_view b);

// Removes leading and trailing white space (blank, tab, CR, LF, VT, FF).
std::string trimWhite(std::string_view text);

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD, for
// output that must be UTF-8 whatever bytes a name or a command line holds
// (JSON, metrics). Each maximal part of a sequence that could have begun a
// character becomes one replacement character, as the Unicode standard
// recommends; overlong forms, surrogates and code points above U+10FFFF are
// ill-formed. Valid text comes back unchanged.
std::string validUtf8(std::string_view text);

}  // namespace platform
