#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// The encoding of the supervisor's 8-bit texts, as mail headers name it,
// and the encodings of the list and settings files an operator edits. The
// program's texts are UTF-8 on every system; only files and terminals may
// hold another encoding.
namespace platform {

// MIME charset name of the 8-bit texts ("UTF-8").
const std::string& textCharset();

// Length of the longest start of `text` of at most maxBytes bytes that does
// not cut a multi-byte character in two. 0 only when maxBytes is 0 or the text
// is empty.
std::size_t wholeCharacterPrefix(std::string_view text, std::size_t maxBytes);

// The text in valid UTF-8, for output that must be UTF-8 whatever bytes a
// name holds (JSON, the metrics): every ill-formed sequence replaced by
// U+FFFD.
std::string utf8Text(std::string_view text);

// The text as ctl's table and answers carry it to a terminal: UTF-8 with
// ill-formed sequences replaced (a Windows console is switched to UTF-8 by
// useUtf8Console).
std::string terminalText(std::string_view text);

// How a list or settings file holds its text. Editors save either in the
// system's 8-bit encoding (the ANSI code page on Windows) or in UTF-8, with
// or without a byte-order mark; a file is written back the way it was read.
enum class FileTextEncoding {
    system,       // the system's 8-bit encoding (UTF-8 here, the ANSI code page on Windows)
    utf8,         // UTF-8 without a byte-order mark
    utf8WithBom,  // UTF-8 after the bytes EF BB BF
};

// The encoding of a file's bytes: utf8WithBom when they begin with the
// UTF-8 byte-order mark; utf8 when they hold bytes above 127 and all of them
// form valid UTF-8; system otherwise (an ASCII file included).
FileTextEncoding fileTextEncoding(std::string_view bytes);

// The length of the byte-order mark that `encoding` puts before the text.
std::size_t byteOrderMarkSize(FileTextEncoding encoding);

// A file's text (without its byte-order mark) as the program's UTF-8 text.
// The same bytes here, where the system's encoding is UTF-8. On Windows a
// file in the ANSI code page is turned into UTF-8.
std::string fromFileText(std::string_view text, FileTextEncoding encoding);

// The program's text as a file in `encoding` holds it (without the
// byte-order mark, which the caller writes first). On Windows a character
// the ANSI code page lacks becomes '?' in a file kept in that code page.
std::string toFileText(std::string_view text, FileTextEncoding encoding);

}  // namespace platform
