#include "app/core/ServerListStore.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "log/AppLogger.h"
#include "platform/FileStore.h"

ServerListStore::ServerListStore(ServerList& list, std::FILE* complaints) : list_(list), complaints_(complaints) {}

std::vector<ServerEntry> ServerListStore::read() {
    list_.LoadServerInfo();
    return list_.entries();
}

bool ServerListStore::add(const ServerEntry& entry, std::string& error) {
    list_.addServer(entry.name, entry.processname, entry.commandline);
    return save(error);
}

bool ServerListStore::replace(std::int32_t index, const ServerEntry& entry, std::string& error) {
    // Every entry, in index order, with the one at `index` changed.
    std::vector<ServerEntry> entries = list_.entries();
    for (ServerEntry& each : entries)
        if (each.index == index) each = ServerEntry{index, entry.name, entry.processname, entry.commandline};
    list_.rebuildFrom(entries);
    return save(error);
}

bool ServerListStore::remove(std::int32_t index, std::string& error) {
    list_.eraseRow(index);
    return save(error);
}

bool ServerListStore::removeAll(std::string& error) {
    list_.eraseAll();
    return save(error);
}

bool ServerListStore::save(std::string& error) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    list_.document().Accept(writer);
    // Replaced as a whole: a crash or a full disk leaves the old list.
    std::string reason;
    if (platform::replaceWholeFile(list_.path(), std::string_view(buffer.GetString(), buffer.GetSize()),
                                   platform::NewFileAccess::shared, reason))
        return true;
    error = list_.path() + ": " + reason;
    AppLogger::Instance().get().error("serverinfo.json could not be saved: {}", error);
    if (complaints_) {
        std::fprintf(complaints_, "serverinfo.json could not be saved: %s\n", error.c_str());
        std::fflush(complaints_);
    }
    return false;
}
