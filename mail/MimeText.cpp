#include "mail/MimeText.h"

#include "mail/Base64.h"
#include "platform/TextEncoding.h"

std::string StripLineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

bool HasEightBitBytes(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

std::string EncodeHeaderText(std::string_view text, const std::string& charset) {
    if (!HasEightBitBytes(text)) return std::string(text);
    const std::string prefix = "=?" + charset + "?B?";
    const std::string suffix = "?=";
    // Base64 characters that fit a 75-character word, in whole groups of 4.
    const std::size_t room = 75 > prefix.size() + suffix.size() + 4 ? 75 - prefix.size() - suffix.size() : 4;
    const std::size_t maxBytes = room / 4 * 3;
    std::string out;
    while (!text.empty()) {
        const std::size_t take = platform::wholeCharacterPrefix(text, maxBytes);
        if (!out.empty()) out += "\r\n ";
        out += prefix + Base64Encode(text.substr(0, take)) + suffix;
        text.remove_prefix(take);
    }
    return out;
}

std::string DataLines(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 4);
    bool lineStart = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out += "\r\n";
            lineStart = true;
            continue;
        }
        if (lineStart && c == '.') out += '.';
        out += c;
        lineStart = false;
    }
    out += "\r\n";
    return out;
}

bool FitsDataLineLimit(std::string_view text) {
    std::size_t length = 0;
    bool lineStart = true;
    for (const char c : text) {
        if (c == '\r' || c == '\n') {
            length = 0;
            lineStart = true;
            continue;
        }
        length += lineStart && c == '.' ? 2 : 1;
        lineStart = false;
        if (length > kDataLineLimit) return false;
    }
    return true;
}

std::string FileNameParameter(std::string_view parameter, std::string_view fileName, const std::string& charset) {
    if (!HasEightBitBytes(fileName)) return std::string(parameter) + "=\"" + std::string(fileName) + "\"";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = std::string(parameter) + "*=" + charset + "''";
    for (const char c : fileName) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
                           std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos;
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}
