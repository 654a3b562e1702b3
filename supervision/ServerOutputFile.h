#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "config/ServerEntry.h"

// The file a launched server's standard output and error are appended to,
// `<directory>/<name>.log`, and what is done with it: Procward's own lines
// at each launch and end, its last lines, and its rotation.
//
// The file is appended to by the server's output writer (a process of its
// own that holds the server's output pipe and rotates by renaming), or, where
// there is none, by the server itself; either way, whatever becomes of
// Procward, the server's writes land in the file and never block or fail.
class ServerOutputFile {
public:
    // A server's name as a file name that every system takes: the bytes no
    // system allows in a name ("/", "\", ":", "*", "?", '"', "<", ">", "|",
    // control characters) become "_", as do leading dots and trailing dots
    // and blanks; a name the system reserves (CON, NUL, COM1 ...) gets a
    // "_" in front; an empty one is "server". At most 100 bytes, cut at a
    // character's start. Other bytes (UTF-8, the ANSI code page) stay.
    static std::string safeFileName(const std::string& name);

    // The file of each entry, by index: `<directory>/<safe name>.log`. Where
    // two entries come to the same file name (letter case not counted, as
    // Windows does not count it), the one of the lowest index keeps it and
    // each other gets `<safe name>-<index>.log`. Empty when `directory` is.
    static std::map<std::int32_t, std::string> pathsFor(const std::string& directory,
                                                        const std::vector<ServerEntry>& entries);

    // Procward's own line in a server's file: "2026-12-09 06:40:01
    // [procward] started pid 4711", in local time.
    static std::string noteLine(std::int64_t secondsSince1970, const std::string& text);
    // Appends that line; false when the file cannot be written.
    static bool appendNote(const std::string& path, std::int64_t secondsSince1970, const std::string& text);

    // Size in bytes; -1 when there is no such file.
    static std::int64_t size(const std::string& path);

    // The last `count` lines of the file, oldest first, without their line
    // ends; a last line without its end counts as a line. With `end` at 0
    // or more, the lines before that offset, as they were when the file had
    // that size: when the file has since been rotated (it is now shorter),
    // they are read from its first backup, which then holds those bytes at
    // the same offsets. Reads at most the last 1 MiB.
    static std::vector<std::string> lastLines(const std::string& path, std::size_t count, std::int64_t end = -1);

    // `<path>.<n>`: the n-th backup, 1 the newest.
    static std::string backupPath(const std::string& path, int n);

    // Keeps the file's newest lines in backups and empties it while the
    // server goes on writing: the file is copied to a new file beside it
    // (once more for what came during the copy), made readable by whom the
    // file is; only once that copy is complete do the backups move one
    // place up (the oldest beyond `backups` is removed) and the copy become
    // backup 1; then the file is emptied. A server's writes land at the end
    // of the emptied file, since it appends. What it writes in the moment
    // between the last copy and the emptying is lost. With `backups` at 0
    // the file is only emptied. False with the reason when a step failed:
    // the file is then not emptied, the backups are as they were and no
    // partial copy is left. Where the copy fails for lack of space and
    // `dropped` is given, the file is emptied all the same, its lines given
    // up rather than the backups, and `dropped` gets how many bytes went.
    static bool rotate(const std::string& path, int backups, std::string& error, std::int64_t* dropped = nullptr);
};
