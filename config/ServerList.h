#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "config/HealthCheckEdit.h"
#include "config/ListBackups.h"
#include "config/ListResult.h"
#include "config/ServerEntry.h"
#include "platform/TextEncoding.h"

class ServerListText;

// The server list file, serverinfo.json, and the valid entries read from it,
// keyed by index (array position + 1; elements skipped for a missing or
// wrong field leave gaps). The file knows nothing of the records the
// supervisor keeps for the entries.
//
// Changes are made to the file as it is on disk, not to a copy read
// earlier: each reads the file, changes what it must in its text and writes
// it back, so every other key of every entry, the entries' order and the
// file's layout survive. A change to an entry first checks that the file
// still holds, at that entry's position, the name, processname and
// commandline the caller read; if not, it is refused. Every rewrite first
// keeps the previous file as a generation in serverinfo.json.bak/ beside it
// (ListBackups), then replaces the file as a whole, so a failure leaves the
// old list. After a change the caller reloads.
//
// The file may be in the system's 8-bit encoding or in UTF-8, with or
// without a byte-order mark: the entries are read in the program's own text
// and an edit is written back in the encoding the file had (a new file in
// the system's).
class ServerList {
public:
    // Name of the file, in the working directory unless a path is given.
    static const char* const kFileName;

    explicit ServerList(std::string path = kFileName) : m_path(std::move(path)) {}

    // Reads the file and takes the entries of its valid elements, in index
    // order; the parsed file is not kept. A file that is missing, cannot be
    // read or is not a JSON array leaves no entries and fails with the
    // reason (for a parse error: file, line, column and what is wrong). An
    // element skipped, or a key of an entry ignored, is a warning. Each
    // failure and warning is logged as well.
    ListResult load();

    const std::vector<ServerEntry>& entries() const { return m_entries; }
    // The file's top array as it stands on disk, every element and key in
    // it, as compact JSON in the program's text (for `ctl list --json`).
    ListResult elements(std::string& json) const;

    // Appends an entry with these three keys; a missing file is created.
    ListResult add(const std::string& name, const std::string& processname, const std::string& commandline);
    // Sets the three keys of the entry the caller read as `seen` and, with
    // `health`, the part of its health rule the window edits (as
    // setHealthCheck does), in one write: the .bak then holds the entry as
    // it was before the whole edit.
    ListResult replace(const ServerEntry& seen, const std::string& name, const std::string& processname,
                       const std::string& commandline, const std::optional<HealthCheckEdit>& health = std::nullopt);
    // Appends an entry given as a JSON object (the program's text), every
    // key of it kept. Refused, with the reason, when it is no valid entry (a
    // key missing or of the wrong kind, an option the reader would ignore)
    // or when the list already has an entry of its name.
    ListResult addEntry(const std::string& objectJson);
    // Sets keys of the entry of `seen` to JSON texts (the program's text);
    // an empty text removes the key. Refused when the entry would no longer
    // be valid or would take the name of another entry.
    ListResult setMembers(const ServerEntry& seen, const std::vector<std::pair<std::string, std::string>>& values);
    // Removes the element of `seen`; the elements after it move up.
    ListResult remove(const ServerEntry& seen);
    // Empties the list, elements skipped on reading included, provided its
    // valid entries are still the ones the caller read.
    ListResult removeAll(const std::vector<ServerEntry>& seen);
    // Sets the probe, interval and failures of the health rule of `seen`,
    // keeping the rule's other keys.
    ListResult setHealthCheck(const ServerEntry& seen, const HealthCheckEdit& edit);

    // Brings generation `number` of the list's copies (1 the newest, as
    // ListBackups numbers them) back as the list; the list it replaces is
    // kept as a generation first, so a restore can itself be undone. A copy
    // that does not read as a list is refused.
    ListResult restore(int number);

    const std::string& path() const { return m_path; }
    // The generations kept of the list (LIST_BACKUPS).
    ListBackups backups() const { return ListBackups(m_path, m_backupsKept); }
    void setBackupsKept(int kept) { m_backupsKept = kept; }
    int backupsKept() const { return m_backupsKept; }

private:
    // The file as it was read: its bytes and the encoding its text keeps.
    struct FileBytes {
        std::string bytes;
        platform::FileTextEncoding encoding = platform::FileTextEncoding::system;
        // The text after the byte-order mark, which the edits splice.
        std::string body() const { return bytes.substr(platform::byteOrderMarkSize(encoding)); }
    };

    // Reads the file and parses its text as stored (a UTF-8 file stays
    // UTF-8, so an edit leaves every other byte as it was).
    bool current(FileBytes& file, ServerListText& list, bool& missing, std::string& error) const;
    // The program's text in the file's encoding.
    static std::string stored(const FileBytes& file, const std::string& text);
    // Writes `body` in the encoding of `previous` (its byte-order mark
    // first), or in the system's for a new file.
    ListResult write(const FileBytes* previous, const std::string& body) const;
    // Writes `bytes` as the file, `previous` kept as a generation first.
    ListResult writeBytes(const FileBytes* previous, const std::string& bytes) const;
    ListResult failed(const std::string& error) const;
    // Why `edit` cannot be written, empty when it can.
    static std::string healthRefusal(const ServerEntry& seen, const HealthCheckEdit& edit);
    // Why the element at `element` of `list` (the file's text, parsed) is
    // no entry the reader takes whole, or names an entry other than itself
    // already has; empty when it is one.
    std::string entryRefusal(const rapidjson::Value& list, rapidjson::SizeType element,
                             platform::FileTextEncoding encoding) const;
    std::string changedError() const;

    std::string m_path;
    int m_backupsKept = ListBackups::kDefaultKept;
    std::vector<ServerEntry> m_entries;
};
