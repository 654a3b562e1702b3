#pragma once
#include <cstdio>

#include "config/ServerList.h"
#include "supervision/EntryStore.h"

// The Supervisor's changes of the list, made on serverinfo.json through
// ServerList. A list that cannot be written is logged (and printed to
// `complaints`, the standard error of a program without a window, when
// given) and the change fails with the reason; the file keeps what it held.
class ServerListStore : public EntryStore {
public:
    explicit ServerListStore(ServerList& list, std::FILE* complaints = nullptr);

    // What the file holds; when it exists but cannot be read, what it held
    // at the last good read, so that the servers stay supervised as they
    // were (a file half-written by an editor, a syntax error).
    std::vector<ServerEntry> read() override;
    // Reads the file again. On success the list takes what it holds;
    // otherwise the list keeps what it had and the result says why (file,
    // line and column for a syntax error). No file at all is an empty list
    // when `missingIsEmpty`, else a failure too. Logged either way.
    ListResult refresh(bool missingIsEmpty = true);
    bool add(const ServerEntry& entry, std::string& error) override;
    bool replace(std::int32_t index, const ServerEntry& entry, const std::optional<HealthCheckEdit>& health,
                 std::string& error) override;
    bool remove(std::int32_t index, std::string& error) override;
    bool removeAll(std::string& error) override;

private:
    // The entry at `index` as the list last read it, null when none.
    const ServerEntry* seen(std::int32_t index) const;
    ListResult missing(std::int32_t index) const;
    bool outcome(const ListResult& result, std::string& error);

    ServerList& list_;
    std::FILE* complaints_;
};
