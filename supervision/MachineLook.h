#pragma once
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/ProcessTable.h"
#include "platform/TcpTable.h"

// One look at the machine, shared by every record a check pass examines:
// the process table is walked at most once and indexed by executable file
// name, the listening sockets are dumped at most once (the TCP table keeps
// what it has learnt of their owners from one look to the next). Both are
// taken only when a record first needs them, so a pass in which every
// server's process is held and alive walks no process table at all.
class MachineLook {
public:
    MachineLook(platform::ProcessTable& table, platform::TcpTable& tcp) : table_(table), tcp_(tcp) {}

    // The processes whose executable file name is one of `fileNames`
    // (ignoring ASCII case), in table order. Empty when the table cannot be read.
    std::vector<const platform::ProcessEntry*> candidates(const std::vector<std::string>& fileNames);

    // The listening sockets of a process, IPv4 before IPv6, each in address
    // and port order; false when they cannot be read.
    bool listenersOf(int pid, std::vector<platform::TcpListener>& out);
    // See ListenerSnapshot::arrivals (after a listenersOf call of this look).
    std::optional<std::uint64_t> listenerArrivals() const;
    // See ListenerSnapshot::changes (the sockets are dumped, if they were not).
    std::optional<std::uint64_t> listenerChanges();

    // The processes descended from `pid` (its children, theirs ...), in
    // table order; from the same one walk of the table.
    std::vector<int> descendantsOf(int pid);

    platform::ProcessTable& table() { return table_; }

    // How often this look walked the table and dumped the sockets (0 or 1).
    int processWalks() const { return processWalks_; }
    int socketDumps() const { return socketDumps_; }

private:
    void takeSnapshot();
    void takeSockets();

    platform::ProcessTable& table_;
    platform::TcpTable& tcp_;
    bool snapshotTaken_ = false;
    platform::ProcessSnapshot snapshot_;
    std::unordered_map<std::string, std::vector<std::size_t>> byFileName_;  // folded name -> positions
    bool socketsTaken_ = false;
    std::unique_ptr<platform::ListenerSnapshot> sockets_;
    int processWalks_ = 0;
    int socketDumps_ = 0;
};
