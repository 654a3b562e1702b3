#include "app/core/ServerListStore.h"

#include <algorithm>

#include "log/AppLogger.h"

ServerListStore::ServerListStore(ServerList& list, std::FILE* complaints) : list_(list), complaints_(complaints) {}

std::vector<ServerEntry> ServerListStore::read() {
    refresh();
    return list_.entries();
}

ListResult ServerListStore::refresh(bool missingIsEmpty) {
    // The list logs what it could not read and each entry it skipped.
    ServerList fresh(list_.path());
    fresh.setBackupsKept(list_.backupsKept());
    ListResult result = fresh.load();
    if (result.ok || (result.missing && missingIsEmpty)) list_ = std::move(fresh);
    return result;
}

const ServerEntry* ServerListStore::seen(std::int32_t index) const {
    const auto& entries = list_.entries();
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [index](const ServerEntry& entry) { return entry.index == index; });
    return found == entries.end() ? nullptr : &*found;
}

bool ServerListStore::add(const ServerEntry& entry, std::string& error) {
    return outcome(list_.add(entry.name, entry.processname, entry.commandline), error);
}

bool ServerListStore::replace(std::int32_t index, const ServerEntry& entry,
                              const std::optional<HealthCheckEdit>& health, std::string& error) {
    // Only the three texts (and the health keys the edit names) change:
    // every other key of the entry stays.
    const ServerEntry* before = seen(index);
    if (!before) return outcome(missing(index), error);
    return outcome(list_.replace(*before, entry.name, entry.processname, entry.commandline, health), error);
}

bool ServerListStore::remove(std::int32_t index, std::string& error) {
    const ServerEntry* before = seen(index);
    if (!before) return outcome(missing(index), error);
    return outcome(list_.remove(*before), error);
}

bool ServerListStore::removeAll(std::string& error) { return outcome(list_.removeAll(list_.entries()), error); }

ListResult ServerListStore::missing(std::int32_t index) const {
    ListResult result;
    result.ok = false;
    result.error = list_.path() + " holds no entry " + std::to_string(index) + " any more; reload it first";
    return result;
}

bool ServerListStore::outcome(const ListResult& result, std::string& error) {
    if (result.ok) return true;
    error = result.error;
    // The list has logged its own failures; a program without a window
    // also says it where the operator reads.
    if (complaints_) {
        std::fprintf(complaints_, "serverinfo.json could not be saved: %s\n", error.c_str());
        std::fflush(complaints_);
    }
    return false;
}
