#include "platform/Text.h"

namespace platform {
namespace {
char foldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool isWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
}  // namespace

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (foldAscii(a[i]) != foldAscii(b[i])) return false;
    return true;
}

std::string trimWhite(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && isWhite(text[begin])) ++begin;
    while (end > begin && isWhite(text[end - 1])) --end;
    return std::string(text.substr(begin, end - begin));
}

}  // namespace platform
