#include <windows.h>

#include "platform/TextEncoding.h"

#include <vector>

namespace platform {
namespace {

// The MIME name of a Windows code page; the code pages of the Chinese,
// Japanese and Korean systems and the Windows code pages by their usual
// names.
std::string charsetOf(UINT codePage) {
    switch (codePage) {
        case 936: return "GBK";
        case 54936: return "GB18030";
        case 20936: return "GB2312";
        case 950: return "Big5";
        case 932: return "Shift_JIS";
        case 949: return "EUC-KR";
        case 874: return "TIS-620";
        case 65001: return "UTF-8";
        case 28591: return "ISO-8859-1";
        case 866: return "IBM866";
        default: break;
    }
    return "windows-" + std::to_string(codePage);
}

}  // namespace

const std::string& textCharset() {
    static const std::string charset = charsetOf(::GetACP());
    return charset;
}

std::size_t wholeCharacterPrefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text.size();
    // Double-byte code pages can only be read from the start: a trail byte
    // may have any value, so a character's start is found by walking.
    std::size_t at = 0;
    while (at < maxBytes) {
        const bool lead = ::IsDBCSLeadByte(static_cast<BYTE>(text[at])) && at + 1 < text.size();
        const std::size_t width = lead ? 2 : 1;
        if (at + width > maxBytes) break;
        at += width;
    }
    return at > 0 ? at : maxBytes;
}

// The text from one code page into another, through UTF-16. Characters the
// target lacks become its default character ('?').
static std::string converted(std::string_view text, UINT from, UINT to) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int wide = ::MultiByteToWideChar(from, 0, text.data(), size, nullptr, 0);
    if (wide <= 0) return {};
    std::vector<wchar_t> units(static_cast<std::size_t>(wide));
    ::MultiByteToWideChar(from, 0, text.data(), size, units.data(), wide);
    const int bytes = ::WideCharToMultiByte(to, 0, units.data(), wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(to, 0, units.data(), wide, out.data(), bytes, nullptr, nullptr);
    return out;
}

std::string utf8Text(std::string_view text) { return converted(text, CP_ACP, CP_UTF8); }

std::string fromFileText(std::string_view text, FileTextEncoding encoding) {
    if (encoding == FileTextEncoding::system) return std::string(text);
    return converted(text, CP_UTF8, CP_ACP);
}

std::string toFileText(std::string_view text, FileTextEncoding encoding) {
    if (encoding == FileTextEncoding::system) return std::string(text);
    return converted(text, CP_ACP, CP_UTF8);
}

std::string terminalText(std::string_view text) { return std::string(text); }

}  // namespace platform
