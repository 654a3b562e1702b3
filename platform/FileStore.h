#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

// Whole-file reading and crash-safe whole-file replacement, and the paths
// the standard library's files take.
namespace platform {

// The path a UTF-8 text names, for std::filesystem and the file streams
// (whose narrow form is the ANSI code page on Windows, which may lack a
// character of the name).
std::filesystem::path filePath(const std::string& text);

// A path as the program's UTF-8 text.
std::string pathText(const std::filesystem::path& path);

// std::fopen of the file a UTF-8 path names.
std::FILE* openFile(const std::string& path, const char* mode);

enum class FileRead { ok, missing, failed };

// Reads every byte of a regular file. `missing` when there is no file at
// `path`; `failed` when there is one that cannot be read (or a directory).
FileRead readWholeFile(const std::string& path, std::string& bytes);

// Who may read a file that replaceWholeFile creates.
enum class NewFileAccess {
    shared,     // the usual permissions less the process's umask
    ownerOnly,  // the owner alone (it holds secrets)
};

// Replaces the contents of `path` with `bytes` so that the file always holds
// either the old or the new contents: the bytes go to a temporary file in
// the same directory, which is flushed to disk and then renamed over `path`.
// On any failure the temporary file is removed, `path` is left as it was and
// the result is false, as it is when `path` exists but may not be written
// by this process. An existing file keeps its permission bits (and its
// owner and group where the process may set them); a missing one is created
// with `access`. A symbolic link at `path` is followed: the file it names is
// replaced and the link stays. On Windows the permission bits are the
// file's access list (copied onto the new file; a new ownerOnly file lets
// only the current user at it), and links are not followed.
bool replaceWholeFile(const std::string& path, std::string_view bytes, NewFileAccess access);
// The same; on failure `reason` holds the system's text of what failed.
bool replaceWholeFile(const std::string& path, std::string_view bytes, NewFileAccess access, std::string& reason);

// True when users other than the file's owner may read the file at `path`
// (its group or everybody); false for a missing file. On Windows: the
// file's access list lets an account other than its owner read it, the
// system and the administrators not counted (they can always get in).
bool readableByOthers(const std::string& path);

// Gives the file at `to` the permission bits of the file at `from` (and,
// where this process may, its owner and group), so that a copy is readable
// by whoever may read the original and nobody else. False when either
// cannot be read or changed. On Windows the access list is copied.
bool copyFileAccess(const std::string& from, const std::string& to);

// Leaves read and write access to the file at `path` to its owner alone.
// True when that holds afterwards; also true, with nothing done, when there
// is no file. On Windows the file gets a protected access list of its
// owner, the system and the administrators.
bool restrictToOwner(const std::string& path);

// Which file the path names now, as a number that stays with the file when
// it is renamed (device and inode; on Windows volume and file index); 0 when
// there is no file or it cannot be told.
std::uint64_t fileIdentity(const std::string& path);

}  // namespace platform
