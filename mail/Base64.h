#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// Standard base64 (RFC 4648) with "=" padding and no line breaks.
std::string Base64Encode(const unsigned char* bytes, std::size_t count);

inline std::string Base64Encode(std::string_view bytes) {
    return Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}
