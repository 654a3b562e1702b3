#include "supervision/ServerOutputFile.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <set>
#include <vector>

#include "platform/System.h"
#include "platform/FileStore.h"

namespace {

constexpr std::size_t kMaxNameBytes = 100;
constexpr std::int64_t kTailBytes = 1024 * 1024;
constexpr std::size_t kCopyChunk = 64 * 1024;

char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string asciiUpper(std::string text) {
    for (char& c : text) c = asciiUpper(c);
    return text;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension.
bool reservedOnWindows(const std::string& name) {
    const std::string stem = asciiUpper(name.substr(0, name.find('.')));
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

// Copies from `in` (already at `from`) to `out` up to the current end of
// the input; the new offset.
std::int64_t copyToEnd(std::ifstream& in, std::ofstream& out, std::int64_t from) {
    std::vector<char> buffer(kCopyChunk);
    in.clear();
    in.seekg(from);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        if (got <= 0) break;
        out.write(buffer.data(), got);
        from += got;
    }
    return from;
}

}  // namespace

std::string ServerOutputFile::safeFileName(const std::string& name) {
    std::string safe;
    for (const char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        const bool forbidden = u < 0x20 || u == 0x7F || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' ||
                               c == '"' || c == '<' || c == '>' || c == '|';
        safe += forbidden ? '_' : c;
    }
    // ".", ".." and hidden names; Windows drops trailing dots and blanks.
    for (char& c : safe) {
        if (c != '.') break;
        c = '_';
    }
    for (auto it = safe.rbegin(); it != safe.rend() && (*it == '.' || *it == ' '); ++it) *it = '_';
    if (safe.size() > kMaxNameBytes) {
        std::size_t cut = kMaxNameBytes;
        // Not inside a UTF-8 sequence (nor, mostly, a double-byte character).
        while (cut > 0 && (static_cast<unsigned char>(safe[cut]) & 0xC0) == 0x80) --cut;
        safe.resize(cut);
    }
    if (safe.empty()) return "server";
    if (reservedOnWindows(safe)) safe.insert(safe.begin(), '_');
    return safe;
}

std::map<std::int32_t, std::string> ServerOutputFile::pathsFor(const std::string& directory,
                                                               const std::vector<ServerEntry>& entries) {
    std::map<std::int32_t, std::string> paths;
    if (directory.empty()) return paths;
    std::vector<const ServerEntry*> ordered;
    for (const ServerEntry& entry : entries) ordered.push_back(&entry);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const ServerEntry* a, const ServerEntry* b) { return a->index < b->index; });
    // Plain names first, so that a server named "a-3" keeps its name even
    // when a second "a" has the index 3.
    std::set<std::string> taken;
    std::vector<const ServerEntry*> again;
    for (const ServerEntry* entry : ordered) {
        const std::string stem = safeFileName(entry->name);
        if (taken.insert(asciiUpper(stem)).second)
            paths[entry->index] = stem;
        else
            again.push_back(entry);
    }
    for (const ServerEntry* entry : again) {
        const std::string stem = safeFileName(entry->name);
        std::string name = stem + "-" + std::to_string(entry->index);
        for (int n = 2; !taken.insert(asciiUpper(name)).second; ++n)
            name = stem + "-" + std::to_string(entry->index) + "-" + std::to_string(n);
        paths[entry->index] = name;
    }
    for (auto& [index, stem] : paths) stem = directory + platform::pathSeparator() + stem + ".log";
    return paths;
}

std::string ServerOutputFile::noteLine(std::int64_t secondsSince1970, const std::string& text) {
    std::tm local{};
    char stamp[32] = "";
    if (platform::localTime(secondsSince1970, local)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(stamp) + " [procward] " + text;
}

bool ServerOutputFile::appendNote(const std::string& path, std::int64_t secondsSince1970, const std::string& text) {
    if (path.empty()) return false;
    // One write of the whole line, so it never lands inside a line of the
    // server's (which appends too).
    const std::string line = noteLine(secondsSince1970, text) + "\n";
    std::FILE* file = platform::openFile(path, "ab");
    if (!file) return false;
    std::setvbuf(file, nullptr, _IOFBF, line.size() + 16);
    const bool ok = std::fwrite(line.data(), 1, line.size(), file) == line.size();
    return std::fclose(file) == 0 && ok;
}

std::int64_t ServerOutputFile::size(const std::string& path) {
    // One system call: the rotation asks for every server's size at every tick.
    return static_cast<std::int64_t>(platform::fileSize(path));
}

std::vector<std::string> ServerOutputFile::lastLines(const std::string& path, std::size_t count, std::int64_t end) {
    std::vector<std::string> lines;
    if (count == 0) return lines;
    std::string source = path;
    std::int64_t size = ServerOutputFile::size(path);
    if (end >= 0 && size < end) {
        // Rotated since: the copy holds the bytes up to `end` where they were.
        const std::string backup = backupPath(path, 1);
        if (ServerOutputFile::size(backup) >= end) {
            source = backup;
            size = end;
        }
    }
    if (size <= 0) return lines;
    if (end >= 0) size = std::min(size, end);
    const std::int64_t from = std::max<std::int64_t>(0, size - kTailBytes);
    std::ifstream in(platform::filePath(source), std::ios::binary);
    if (!in) return lines;
    in.seekg(from);
    std::string bytes(static_cast<std::size_t>(size - from), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, in.gcount())));
    // A line cut by the start of what was read is not shown.
    std::size_t start = 0;
    if (from > 0) {
        const std::size_t first = bytes.find('\n');
        start = first == std::string::npos ? bytes.size() : first + 1;
    }
    std::size_t stop = bytes.size();
    if (stop > start && bytes[stop - 1] == '\n') --stop;
    // Walk back from the end for the last `count` line ends.
    std::size_t at = stop;
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    while (spans.size() < count && at > start) {
        const std::size_t newline = bytes.rfind('\n', at - 1);
        const std::size_t begin = newline == std::string::npos || newline < start ? start : newline + 1;
        spans.emplace_back(begin, at);
        if (begin == start) break;
        at = begin - 1;
    }
    for (auto it = spans.rbegin(); it != spans.rend(); ++it) {
        std::string line = bytes.substr(it->first, it->second - it->first);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string ServerOutputFile::backupPath(const std::string& path, int n) { return path + "." + std::to_string(n); }

bool ServerOutputFile::rotate(const std::string& path, int backups, std::string& error) {
    if (backups > 0) {
        std::error_code ignored;
        std::filesystem::remove(platform::filePath(backupPath(path, backups)), ignored);
        for (int n = backups - 1; n >= 1; --n) {
            const std::string from = backupPath(path, n);
            if (size(from) < 0) continue;
            std::error_code renamed;
            std::filesystem::rename(platform::filePath(from), platform::filePath(backupPath(path, n + 1)), renamed);
            if (renamed) {
                error = "cannot rename " + from + ": " + renamed.message();
                return false;
            }
        }
        std::ifstream in(platform::filePath(path), std::ios::binary);
        if (!in) {
            error = "cannot read " + path;
            return false;
        }
        const std::string first = backupPath(path, 1);
        std::ofstream out(platform::filePath(first), std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "cannot write " + first;
            return false;
        }
        std::int64_t copied = copyToEnd(in, out, 0);
        // What the server wrote during the copy follows, so that the moment
        // in which a line can be lost is as short as the emptying itself.
        for (int round = 0; round < 3; ++round) {
            const std::int64_t now = size(path);
            if (now <= copied) break;
            copied = copyToEnd(in, out, copied);
        }
        out.flush();
        if (!out) {
            error = "cannot write " + first;
            return false;
        }
    }
    // Opening for writing without appending empties the file in place: the
    // server's own handle stays on the same file.
    std::ofstream emptied(platform::filePath(path), std::ios::binary | std::ios::out);
    if (!emptied) {
        error = "cannot empty " + path + ": " + platform::errorText(errno);
        return false;
    }
    return true;
}
