#include "supervision/ServerOutputFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include "platform/FileStore.h"
#include "platform/System.h"

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
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) && stem[3] >= '1' &&
           stem[3] <= '9';
}

// Copies what `in` holds from where it stands to its current end into
// `out`; false with the system's error number when a read or write fails.
bool copyToEnd(std::FILE* in, std::FILE* out, std::int64_t& copied, int& error) {
    std::vector<char> buffer(kCopyChunk);
    std::clearerr(in);
    for (;;) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
        if (got == 0) break;
        if (std::fwrite(buffer.data(), 1, got, out) != got) {
            error = errno;
            return false;
        }
        copied += static_cast<std::int64_t>(got);
    }
    if (std::ferror(in)) {
        error = errno;
        return false;
    }
    return true;
}

// Copies the file at `from`, and what is written to it meanwhile, into a
// new file `to`; the bytes copied, or -1 with the error number and text.
std::int64_t copyFile(const std::string& from, const std::string& to, int& error, std::string& text) {
    std::FILE* in = platform::openFile(from, "rb");
    if (!in) {
        error = errno;
        text = "cannot read " + from + ": " + platform::errorText(error);
        return -1;
    }
    std::FILE* out = platform::openFile(to, "wb");
    if (!out) {
        error = errno;
        text = "cannot write " + to + ": " + platform::errorText(error);
        std::fclose(in);
        return -1;
    }
    // Before any byte is in it: the copy is readable by whom the file is.
    platform::copyFileAccess(from, to);
    std::int64_t copied = 0;
    bool ok = copyToEnd(in, out, copied, error);
    // What the server wrote during the copy follows, so that the moment in
    // which a line can be lost is as short as the emptying itself.
    for (int round = 0; ok && round < 3 && ServerOutputFile::size(from) > copied; ++round)
        ok = copyToEnd(in, out, copied, error);
    if (ok && std::fflush(out) != 0) {
        error = errno;
        ok = false;
    }
    std::fclose(in);
    if (std::fclose(out) != 0 && ok) {
        error = errno;
        ok = false;
    }
    if (!ok) {
        text = "cannot write " + to + ": " + platform::errorText(error);
        return -1;
    }
    return copied;
}

// Empties the file in place: the server's own handle stays on the same
// file, and its appends land at the new end.
bool emptyFile(const std::string& path, std::string& error) {
    std::FILE* file = platform::openFile(path, "wb");
    if (file && std::fclose(file) == 0) return true;
    error = "cannot empty " + path + ": " + platform::errorText(errno);
    return false;
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

bool ServerOutputFile::rotate(const std::string& path, int backups, std::string& error, std::int64_t* dropped) {
    if (dropped) *dropped = 0;
    if (backups > 0) {
        // The copy is made beside the backups and only becomes one once it
        // is complete: a failed copy (a full disk) leaves every backup as it
        // was, and no partial file behind.
        const std::string partial = path + ".rotating";
        int failure = 0;
        std::error_code ignored;
        if (copyFile(path, partial, failure, error) < 0) {
            std::filesystem::remove(platform::filePath(partial), ignored);
            if (failure != ENOSPC || !dropped) return false;
            // No room for a copy: the file's lines are given up rather than
            // the backups, so that the server's output goes on by itself.
            const std::int64_t lost = std::max<std::int64_t>(0, size(path));
            if (!emptyFile(path, error)) return false;
            *dropped = lost;
            return true;
        }
        std::filesystem::remove(platform::filePath(backupPath(path, backups)), ignored);
        for (int n = backups - 1; n >= 1; --n) {
            const std::string from = backupPath(path, n);
            if (size(from) < 0) continue;
            std::error_code renamed;
            std::filesystem::rename(platform::filePath(from), platform::filePath(backupPath(path, n + 1)), renamed);
            if (renamed) {
                std::filesystem::remove(platform::filePath(partial), ignored);
                error = "cannot rename " + from + ": " + renamed.message();
                return false;
            }
        }
        std::error_code renamed;
        std::filesystem::rename(platform::filePath(partial), platform::filePath(backupPath(path, 1)), renamed);
        if (renamed) {
            std::filesystem::remove(platform::filePath(partial), ignored);
            error = "cannot rename " + partial + ": " + renamed.message();
            return false;
        }
    }
    return emptyFile(path, error);
}
