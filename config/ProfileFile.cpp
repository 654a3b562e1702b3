#include "config/ProfileFile.h"

#include "platform/FileStore.h"
#include "platform/Text.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// The text of a line without a byte-order mark at the start of the file.
std::string_view lineText(const std::string& text, std::size_t lineNumber) {
    std::string_view view = text;
    if (lineNumber == 0 && view.substr(0, 3) == "\xEF\xBB\xBF") view.remove_prefix(3);
    return view;
}

// "[name]" (blanks allowed around and inside the brackets): the name.
bool parseSection(std::string_view text, std::string_view& name) {
    text = trimBlanks(text);
    if (text.empty() || text.front() != '[') return false;
    text.remove_prefix(1);
    const auto close = text.find(']');
    name = trimBlanks(text.substr(0, close));
    return true;
}

// "key=value": the trimmed key and the raw value after the first '='.
bool parseKey(std::string_view text, std::string_view& key, std::string_view& value) {
    const std::string_view trimmed = trimBlanks(text);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '[') return false;
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) return false;
    key = trimBlanks(text.substr(0, equals));
    if (key.empty()) return false;
    value = text.substr(equals + 1);
    return true;
}

std::string withoutLineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

// Blanks dropped, then one pair of enclosing quotes.
std::string_view readerValue(std::string_view value) {
    value = trimBlanks(value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

ProfileFile::ProfileFile(std::string path) : path_(std::move(path)) {
    std::string bytes;
    switch (platform::readWholeFile(path_, bytes)) {
    case platform::FileRead::ok: break;
    case platform::FileRead::missing: return;
    case platform::FileRead::failed: readFailed_ = true; return;
    }
    encoding_ = platform::fileTextEncoding(bytes);
    bool styleKnown = false;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const auto newline = bytes.find('\n', start);
        const std::size_t stop = newline == std::string::npos ? bytes.size() : newline;
        Line line;
        line.text = bytes.substr(start, stop - start);
        if (newline != std::string::npos) line.end = "\n";
        if (!line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back();
            line.end.insert(0, "\r");
        }
        if (!styleKnown && newline != std::string::npos) {
            lineEnd_ = line.end;
            styleKnown = true;
        }
        lines_.push_back(std::move(line));
        start = newline == std::string::npos ? bytes.size() : newline + 1;
    }
}

ProfileFile::Location ProfileFile::locate(std::string_view section, std::string_view key) const {
    Location where;
    bool inSection = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const std::string_view text = lineText(lines_[i].text, i);
        std::string_view name, value;
        if (parseSection(text, name)) {
            if (inSection) break;  // only the first section of that name counts
            if (platform::equalsNoCase(name, trimBlanks(section))) {
                inSection = true;
                where.sectionFound = true;
                where.lastLineOfSection = i;
            }
            continue;
        }
        if (!inSection) continue;
        if (!trimBlanks(text).empty()) where.lastLineOfSection = i;
        if (!where.keyFound && parseKey(text, name, value) && platform::equalsNoCase(name, trimBlanks(key))) {
            where.keyFound = true;
            where.keyLine = i;
        }
    }
    return where;
}

bool ProfileFile::rawValue(std::string_view section, std::string_view key, std::string& value) const {
    const Location where =
        locate(platform::toFileText(section, encoding_), platform::toFileText(key, encoding_));
    if (!where.keyFound) return false;
    std::string_view name, raw;
    parseKey(lineText(lines_[where.keyLine].text, where.keyLine), name, raw);
    value = platform::fromFileText(readerValue(raw), encoding_);
    return true;
}

std::int32_t ProfileFile::getInt(std::string_view section, std::string_view key, std::int32_t defaultValue) const {
    std::string text;
    if (!rawValue(section, key, text)) return defaultValue;
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;  // blanks inside quotes
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint32_t number = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        number = number * 10u + static_cast<std::uint32_t>(text[i] - '0');
    if (negative) number = 0u - number;
    return static_cast<std::int32_t>(number);
}

std::int64_t ProfileFile::getInt64(std::string_view section, std::string_view key, std::int64_t defaultValue) const {
    std::string text;
    if (!rawValue(section, key, text)) return defaultValue;
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(INT64_MAX);
    std::uint64_t number = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        number = number > (kLimit - digit) / 10 ? kLimit : number * 10u + digit;
    }
    return negative ? -static_cast<std::int64_t>(number) : static_cast<std::int64_t>(number);
}

std::string ProfileFile::getString(std::string_view section, std::string_view key, std::string_view defaultValue,
                                   std::size_t bufferSize) const {
    std::string text;
    if (!rawValue(section, key, text)) text = defaultValue;
    const std::size_t room = bufferSize == 0 ? 0 : bufferSize - 1;
    if (text.size() > room) {
        std::size_t cut = room;
        // Do not keep the first bytes of a character whose rest is cut off.
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
    }
    return text;
}

void ProfileFile::setString(std::string_view section, std::string_view key, std::string_view value) {
    const std::string sectionName = platform::toFileText(withoutLineBreaks(section), encoding_);
    const std::string keyName = platform::toFileText(withoutLineBreaks(key), encoding_);
    const std::string newValue = platform::toFileText(withoutLineBreaks(value), encoding_);
    const Location where = locate(sectionName, keyName);

    if (where.keyFound) {
        Line& line = lines_[where.keyLine];
        const std::string replaced = line.text.substr(0, line.text.find('=') + 1) + newValue;
        if (replaced != line.text) {
            line.text = replaced;
            changed_ = true;
        }
        return;
    }

    std::vector<Line> added;
    if (!where.sectionFound) added.push_back({"[" + sectionName + "]", lineEnd_});
    added.push_back({keyName + "=" + newValue, lineEnd_});
    const std::size_t at = where.sectionFound ? where.lastLineOfSection + 1 : lines_.size();
    if (at > 0 && lines_[at - 1].end.empty()) lines_[at - 1].end = lineEnd_;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
    changed_ = true;
}

std::string ProfileFile::contents() const {
    std::string bytes;
    for (const Line& line : lines_) bytes += line.text + line.end;
    return bytes;
}

bool ProfileFile::save() {
    std::string reason;
    return save(reason);
}

bool ProfileFile::save(std::string& reason) {
    if (readFailed_) {
        // Writing would destroy what could not be read.
        reason = "the file could not be read";
        return false;
    }
    if (!changed_) return true;
    if (!platform::replaceWholeFile(path_, contents(), platform::NewFileAccess::ownerOnly, reason)) return false;
    changed_ = false;
    return true;
}

std::vector<std::string> ProfileFile::sectionNames() const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        std::string_view name;
        if (!parseSection(lineText(lines_[i].text, i), name)) continue;
        bool seen = false;
        const std::string text = platform::fromFileText(name, encoding_);
        for (const std::string& known : names) seen = seen || platform::equalsNoCase(known, text);
        if (!seen) names.push_back(text);
    }
    return names;
}

void ProfileFile::removeSection(std::string_view programSection) {
    const std::string section = platform::toFileText(programSection, encoding_);
    std::vector<Line> kept;
    bool inside = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        std::string_view name;
        if (parseSection(lineText(lines_[i].text, i), name)) inside = platform::equalsNoCase(name, section);
        if (inside) {
            changed_ = true;
            continue;
        }
        kept.push_back(lines_[i]);
    }
    lines_ = std::move(kept);
}
