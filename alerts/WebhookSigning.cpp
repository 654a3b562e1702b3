#include "alerts/WebhookSigning.h"

#include <stdexcept>

#include "platform/TlsLibrary.h"

std::string HmacSha256Base64(const std::string& key, const std::string& message) {
    std::string error;
    const platform::TlsLibrary* tls = platform::TlsLibrary::get(error);
    if (!tls) throw std::runtime_error(error);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!tls->hmac(tls->evpSha256(), key.data(), static_cast<int>(key.size()),
                   reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &length))
        throw std::runtime_error("the signature could not be computed");
    unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    const int size = tls->evpEncodeBlock(encoded, digest, static_cast<int>(length));
    return std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(size));
}

std::string UrlEncode(const std::string& text) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
            byte == '-' || byte == '.' || byte == '_' || byte == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

std::string DingTalkSignature(const std::string& secret, std::int64_t timestampMs) {
    return UrlEncode(HmacSha256Base64(secret, std::to_string(timestampMs) + "\n" + secret));
}

std::string FeishuSignature(const std::string& secret, std::int64_t timestampSeconds) {
    return HmacSha256Base64(std::to_string(timestampSeconds) + "\n" + secret, "");
}
