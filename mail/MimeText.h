#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// Text rules of the message the SMTP client composes.

// The text without any CR or LF, so that a header value stays on its line
// and an address cannot end its command early.
std::string StripLineBreaks(std::string_view text);

// True when the text holds a byte of 0x80 or above.
bool HasEightBitBytes(std::string_view text);

// A header text as it is written: unchanged when it is all ASCII, otherwise
// RFC 2047 encoded words ("=?charset?B?...?=", each at most 75 characters,
// no character split between two words) joined by a folding CR LF and blank.
std::string EncodeHeaderText(std::string_view text, const std::string& charset);

// A body line as message data: each of its line breaks (CR LF, LF or a lone
// CR) becomes CR LF, every line that begins with "." gets a second one, and
// the text ends with CR LF.
std::string DataLines(std::string_view text);

// The longest line a server must take in message data, without its CR LF.
constexpr std::size_t kDataLineLimit = 998;

// True when no line of the text, written as DataLines writes it (a leading
// "." doubled), is longer than kDataLineLimit bytes.
bool FitsDataLineLimit(std::string_view text);

// A MIME header parameter that carries a file name: `parameter="name"` when
// the name is all ASCII, else the RFC 2231 form `parameter*=charset''...`
// with every byte outside the plain letters, digits and marks as %XX.
std::string FileNameParameter(std::string_view parameter, std::string_view fileName, const std::string& charset);
