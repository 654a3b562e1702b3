#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "config/ServerEntry.h"

// The server list: the JSON document that mirrors serverinfo.json and the
// valid entries read from it, keyed by index (array position + 1). The file
// knows nothing of the records the supervisor keeps for the entries.
class ServerList {
public:
    // Name of the file, in the working directory unless a path is given.
    static const char* const kFileName;

    explicit ServerList(std::string path = kFileName) : m_path(std::move(path)) {}

    // Reads the file: the entries of every valid element, in index order.
    // A file that cannot be read or parsed leaves no entries and the
    // document as it was.
    void LoadServerInfo();
    // Writes the document to the file in compact form; a failed write is
    // silent and leaves the old file as it was.
    void SaveServerInfo();

    const std::vector<ServerEntry>& entries() const { return m_entries; }

    // Document changes; each is followed by SaveServerInfo and a reload.
    // While the document holds no array (no file, a failed first parse or
    // another root), each starts a new array.
    void addServer(const std::string& name, const std::string& processname, const std::string& commandline);
    // After an edit: one element per entry, in the order given.
    void rebuildFrom(const std::vector<ServerEntry>& entries);
    void eraseRow(std::int32_t index);  // removes element index - 1, if there is one
    void eraseAll();

    rapidjson::Document& document() { return m_serverInfoDoc; }
    const std::string& path() const { return m_path; }

private:
    void ensureArray();
    void appendServer(const std::string& name, const std::string& processname, const std::string& commandline);

    std::string m_path;
    rapidjson::Document m_serverInfoDoc;
    std::vector<ServerEntry> m_entries;
};
