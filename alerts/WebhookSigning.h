#pragma once
#include <cstdint>
#include <string>

// The signatures the chat robots ask for when a robot has a secret.

// Base64 of HMAC-SHA256 of `message` keyed by `key`. Throws
// std::runtime_error with the reason when OpenSSL cannot be loaded.
std::string HmacSha256Base64(const std::string& key, const std::string& message);

// Percent-encoding of everything but the unreserved characters
// (A-Z a-z 0-9 - . _ ~), as a query parameter's value needs.
std::string UrlEncode(const std::string& text);

// DingTalk: HMAC-SHA256 of "<timestamp>\n<secret>" keyed by the secret,
// Base64, URL-encoded, for the `sign` query parameter beside `timestamp`
// (milliseconds since 1970).
std::string DingTalkSignature(const std::string& secret, std::int64_t timestampMs);

// Feishu: HMAC-SHA256 keyed by "<timestamp>\n<secret>" over an empty
// message, Base64, for the body's `sign` beside `timestamp` (seconds).
std::string FeishuSignature(const std::string& secret, std::int64_t timestampSeconds);
