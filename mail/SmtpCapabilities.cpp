#include "mail/SmtpCapabilities.h"

#include <string_view>

#include "platform/Text.h"

namespace {

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '=')) ++i;
        std::size_t j = i;
        while (j < text.size() && text[j] != ' ' && text[j] != '\t' && text[j] != '=') ++j;
        if (j > i) out.push_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

}  // namespace

SmtpCapabilities SmtpCapabilities::FromEhloReply(const std::vector<std::string>& lines) {
    SmtpCapabilities caps;
    for (std::size_t n = 1; n < lines.size(); ++n) {
        std::string_view line = lines[n];
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        if (line.size() < 4) continue;
        const auto parts = words(line.substr(4));
        if (parts.empty()) continue;
        const std::string_view keyword = parts[0];
        if (platform::equalsNoCase(keyword, "STARTTLS")) {
            caps.startTls = true;
        } else if (platform::equalsNoCase(keyword, "8BITMIME")) {
            caps.eightBitMime = true;
        } else if (platform::equalsNoCase(keyword, "SIZE")) {
            if (parts.size() < 2) continue;
            std::uint64_t value = 0;
            bool digits = true;
            for (const char c : parts[1]) {
                if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10) {
                    digits = false;
                    break;
                }
                value = value * 10 + static_cast<std::uint64_t>(c - '0');
            }
            if (digits) caps.sizeLimit = value;
        } else if (platform::equalsNoCase(keyword, "AUTH")) {
            for (std::size_t i = 1; i < parts.size(); ++i) {
                if (platform::equalsNoCase(parts[i], "LOGIN")) caps.authLogin = true;
                if (platform::equalsNoCase(parts[i], "PLAIN")) caps.authPlain = true;
            }
        }
    }
    return caps;
}
