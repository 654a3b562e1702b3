#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/TcpTable.h"
#include "platform/linux/ListenerOwners.h"

namespace platform {

// The listening sockets of a process: the machine's IPv4 and IPv6
// listening sockets, from the kernel's socket diagnostics (netlink, asking
// for the listening state only) or, where that is refused, from
// /proc/net/tcp and /proc/net/tcp6; a socket belongs to a process when its
// inode is among the process's open descriptors (/proc/PID/fd).
//
// Snapshots share what the table has learnt of the owners (ListenerOwners):
// the descriptors of a process are read again only when a listening socket
// has appeared or gone, so a check pass in which nothing changed costs one
// netlink exchange per address family, however many connections the
// servers hold. The table is safe to use from several threads.
class LinuxTcpTable : public TcpTable {
public:
    enum class Source {
        Netlink,     // netlink sock_diag, the /proc files when refused
        ProcNetTcp,  // /proc/net/tcp and /proc/net/tcp6 only
    };

    explicit LinuxTcpTable(Source source = Source::Netlink);
    ~LinuxTcpTable() override;
    LinuxTcpTable(const LinuxTcpTable&) = delete;
    LinuxTcpTable& operator=(const LinuxTcpTable&) = delete;

    // One dump of the machine's listening sockets; each process's share is
    // taken from what is known of the owners, read when that is not current.
    std::unique_ptr<ListenerSnapshot> snapshot() override;

    // One process, from its descriptors read for this call alone (nothing
    // is kept): a process without any socket costs no dump at all.
    bool listenersOf(int pid, std::vector<TcpListener>& out) override;

    // How many times snapshots had to read a process's descriptors.
    std::uint64_t descriptorReads() const;

    // One listening socket of the machine.
    struct Socket {
        TcpListener listener;
        std::uint64_t inode = 0;
    };

    // The machine's TCP sockets in the listening state, IPv4 and IPv6, from
    // each source. False when the source cannot be read (a system without
    // IPv6 has no /proc/net/tcp6: it lists the IPv4 ones).
    static bool netlinkListeners(std::vector<Socket>& out);
    static bool procNetTcpListeners(std::vector<Socket>& out);

    // The socket inodes among a process's open descriptors, ascending. False
    // when its descriptor directory cannot be read.
    static bool socketInodesOf(int pid, std::vector<std::uint64_t>& out);

    // The listeners among `sockets` (sorted by inode) whose inode is one of
    // the process's descriptors, in the order of listenerBefore.
    static bool listenersAmong(const std::vector<Socket>& sockets, int pid, std::vector<TcpListener>& out);

private:
    class Snapshot;

    // Both families from the source; the caller holds mutex_.
    bool readListeners(std::vector<Socket>& sockets);
    bool netlinkDump(int family, std::vector<Socket>& out);
    void closeNetlink();

    const Source source_;
    mutable std::mutex mutex_;
    int netlink_ = -1;  // kept open between dumps
    std::uint32_t sequence_ = 0;
    // Failed combined dumps in a row: after a few the kernel is taken not
    // to know the older request, and each family is dumped on its own.
    int combinedFailures_ = 0;
    static constexpr int kCombinedTries = 3;
    ListenerOwners owners_;
};

}  // namespace platform
