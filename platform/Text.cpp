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

std::string validUtf8(std::string_view text) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out.push_back(text[i++]);
            continue;
        }
        // Length of the sequence and the range of its second byte, which
        // shuts out overlong forms, surrogates and values above U+10FFFF.
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        std::size_t taken = 1;  // bytes of a well-formed start so far
        while (length != 0 && taken < length && i + taken < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + taken]);
            const bool fits = taken == 1 ? (next >= low && next <= high) : (next >= 0x80 && next <= 0xBF);
            if (!fits) break;
            ++taken;
        }
        if (length != 0 && taken == length) {
            out.append(text.substr(i, length));
        } else {
            out.append(kReplacement);
        }
        i += taken;
    }
    return out;
}

}  // namespace platform
