#pragma once
#include <string>
#include <string_view>

// Text rules shared by the supervisor. Texts are 8-bit strings in the
// platform's code page (UTF-8 here); comparisons that ignore case fold the
// ASCII letters only, so multi-byte characters compare as units.
namespace platform {

bool equalsNoCase(std::string_view a, std::string_view b);

// Removes leading and trailing white space (blank, tab, CR, LF, VT, FF).
std::string trimWhite(std::string_view text);

}  // namespace platform
