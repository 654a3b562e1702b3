#include "platform/TextEncoding.h"

#include <algorithm>

#include "platform/Text.h"

namespace platform {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Whether the text holds a byte above 127 and is well-formed UTF-8 (which
// validUtf8 gives back unchanged).
bool nonAsciiUtf8(std::string_view text) {
    const bool nonAscii =
        std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    return nonAscii && validUtf8(text) == text;
}

}  // namespace

const std::string& textCharset() {
    static const std::string charset = "UTF-8";
    return charset;
}

std::size_t wholeCharacterPrefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text.size();
    std::size_t cut = maxBytes;
    // Step back over UTF-8 continuation bytes to the start of a character.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    // A broken sequence longer than the limit is cut where the limit falls.
    return cut > 0 ? cut : maxBytes;
}

std::string utf8Text(std::string_view text) { return validUtf8(text); }

std::string terminalText(std::string_view text) { return validUtf8(text); }

FileTextEncoding fileTextEncoding(std::string_view bytes) {
    if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark) return FileTextEncoding::utf8WithBom;
    return nonAsciiUtf8(bytes) ? FileTextEncoding::utf8 : FileTextEncoding::system;
}

std::size_t byteOrderMarkSize(FileTextEncoding encoding) {
    return encoding == FileTextEncoding::utf8WithBom ? kByteOrderMark.size() : 0;
}

}  // namespace platform
