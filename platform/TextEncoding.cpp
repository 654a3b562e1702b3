#include "platform/TextEncoding.h"

namespace platform {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Whether every byte above 127 belongs to a well-formed UTF-8 sequence
// (shortest form, no surrogates, at most U+10FFFF), and there is one.
bool nonAsciiUtf8(std::string_view text) {
    bool nonAscii = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        nonAscii = true;
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
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
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        const auto second = static_cast<unsigned char>(text[i + 1]);
        if (second < low || second > high) return false;
        for (std::size_t k = 2; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return nonAscii;
}

}  // namespace

FileTextEncoding fileTextEncoding(std::string_view bytes) {
    if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark) return FileTextEncoding::utf8WithBom;
    return nonAsciiUtf8(bytes) ? FileTextEncoding::utf8 : FileTextEncoding::system;
}

std::size_t byteOrderMarkSize(FileTextEncoding encoding) {
    return encoding == FileTextEncoding::utf8WithBom ? kByteOrderMark.size() : 0;
}

}  // namespace platform
