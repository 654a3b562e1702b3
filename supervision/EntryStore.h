#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/HealthCheckEdit.h"
#include "config/ServerEntry.h"

// The server list as the Supervisor edits it: the file behind the records.
// Each change writes the list whole. A change that cannot be written fails
// with the reason and leaves the file as it was; the next read() gives what
// the file holds. The Supervisor reads the list again after every change.
class EntryStore {
public:
    virtual ~EntryStore() = default;
    // Reads the list: its valid entries in index order.
    virtual std::vector<ServerEntry> read() = 0;
    // Appends an entry (its index is ignored).
    virtual bool add(const ServerEntry& entry, std::string& error) = 0;
    // Replaces the texts of the entry at `index` and, with `health`, the
    // part of its health rule the window edits.
    virtual bool replace(std::int32_t index, const ServerEntry& entry, const std::optional<HealthCheckEdit>& health,
                         std::string& error) = 0;
    // Removes the element at `index` (array position + 1).
    virtual bool remove(std::int32_t index, std::string& error) = 0;
    // Empties the list.
    virtual bool removeAll(std::string& error) = 0;
};
