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

FileTextEncoding fileTextEncoding(std::string_view bytes) {
    if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark) return FileTextEncoding::utf8WithBom;
    return nonAsciiUtf8(bytes) ? FileTextEncoding::utf8 : FileTextEncoding::system;
}

std::size_t byteOrderMarkSize(FileTextEncoding encoding) {
    return encoding == FileTextEncoding::utf8WithBom ? kByteOrderMark.size() : 0;
}

}  // namespace platform
