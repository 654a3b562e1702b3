#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/TextEncoding.h"

// A profile (INI) file: "[SECTION]" lines, then one "KEY=value" per line.
// The whole file is read on construction; changes are made in memory and
// written back by save(), which touches only the lines of the keys written.
//
// Reading follows the usual profile reader: section and key names match
// without regard to ASCII letter case, the first matching section and in it
// the first matching key count, blanks around names and values are dropped,
// as is one pair of enclosing quotes ("..." or '...') around a value. Lines
// starting with ';' are comments. "\r\n" and "\n" line ends are both read.
// A file in UTF-8 (with or without a byte-order mark) is read and written as
// UTF-8 whatever the system's 8-bit encoding; the mark stays.
class ProfileFile {
public:
    explicit ProfileFile(std::string path);

    // The key's value as a decimal integer: an optional sign and the leading
    // digits, 0 when there are none; `defaultValue` only when the key is
    // absent. Values beyond 32 bits wrap around, as the platform reader's do.
    std::int32_t getInt(std::string_view section, std::string_view key, std::int32_t defaultValue) const;

    // The same number read without wrapping: a value beyond 64 bits stays at
    // the largest (or smallest) 64-bit number, so that a caller can tell a
    // value that does not fit its range from one that does.
    std::int64_t getInt64(std::string_view section, std::string_view key, std::int64_t defaultValue) const;

    // The key's value, or `defaultValue` when it is absent, cut to fit a
    // buffer of `bufferSize` bytes with its terminating zero (so at most
    // bufferSize - 1 bytes, never ending inside a UTF-8 character).
    std::string getString(std::string_view section, std::string_view key, std::string_view defaultValue,
                          std::size_t bufferSize) const;

    // The names of the file's sections, in their order, each once (the
    // spelling of its first header).
    std::vector<std::string> sectionNames() const;

    // Removes a section, its header and every line up to the next section.
    void removeSection(std::string_view section);

    // Sets a key in memory: the key's first line is rewritten in place
    // (indentation and spelling of the key kept), a missing key is added at
    // the end of its section, a missing section at the end of the file. The
    // value is stored as given, except that line breaks are dropped.
    void setString(std::string_view section, std::string_view key, std::string_view value);

    // Writes the file if it changed, replacing it atomically; a new file is
    // readable by its owner only. False when it could not be written (or the
    // existing file could not be read, which a write would have destroyed).
    bool save();
    // The same; on failure `reason` says why.
    bool save(std::string& reason);

    const std::string& path() const { return path_; }
    // The file exists but could not be read (no permission, a directory):
    // every key then reads as its default.
    bool readFailed() const { return readFailed_; }

private:
    struct Line {
        std::string text;  // without its line end
        std::string end;   // "\n", "\r\n" or "" for a last line without one
    };
    struct Location {
        bool sectionFound = false;
        std::size_t lastLineOfSection = 0;  // header or last non-blank line
        bool keyFound = false;
        std::size_t keyLine = 0;
    };

    Location locate(std::string_view section, std::string_view key) const;
    bool rawValue(std::string_view section, std::string_view key, std::string& value) const;
    std::string contents() const;

    std::string path_;
    // Values are read in the program's text and written back in the file's
    // own encoding (a UTF-8 file on a system whose 8-bit texts are not).
    platform::FileTextEncoding encoding_ = platform::FileTextEncoding::system;
    std::vector<Line> lines_;
    std::string lineEnd_ = "\n";  // the end of new lines: the file's own style
    bool readFailed_ = false;
    bool changed_ = false;
};
