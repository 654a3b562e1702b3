#pragma once
#include <cstdint>
#include <map>
#include <string>

#include <rapidjson/document.h>

#include "supervision/MonitoredServer.h"

// The server list: the JSON document that mirrors serverinfo.json and the
// records built from it, keyed by index (array position + 1). The main
// window holds one.
class ServerList {
public:
    // Name of the file, in the working directory.
    static const char* const kFileName;

    // Destroys every record, then builds one per valid element of the file.
    void LoadServerInfo();
    // Writes the document to the file in compact form; a failed write is
    // silent and leaves the old file as it was.
    void SaveServerInfo();

    // Document changes; each is followed by SaveServerInfo and a reload.
    // While the document holds no array (no file, a failed first parse or
    // another root), each starts a new array.
    void addServer(const std::string& name, const std::string& processname, const std::string& commandline);
    void rebuildFromRecords();  // after an edit: one element per record, in index order
    void eraseRow(std::int32_t index);  // removes element index - 1, if there is one
    void eraseAll();

    std::map<std::int32_t, MonitoredServer>& servers() { return m_servers; }
    rapidjson::Document& document() { return m_serverInfoDoc; }

private:
    void ensureArray();
    void appendServer(const std::string& name, const std::string& processname, const std::string& commandline);

    rapidjson::Document m_serverInfoDoc;
    std::map<std::int32_t, MonitoredServer> m_servers;
};
