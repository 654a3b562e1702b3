#include "platform/TextEncoding.h"

#include "platform/Text.h"

namespace platform {

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

}  // namespace platform

namespace platform {

// The program's texts are UTF-8 already: only the byte-order mark differs,
// and the callers keep that apart.
std::string fromFileText(std::string_view text, FileTextEncoding) { return std::string(text); }

std::string toFileText(std::string_view text, FileTextEncoding) { return std::string(text); }

}  // namespace platform
