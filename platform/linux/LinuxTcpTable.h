#pragma once
#include <cstdint>
#include <vector>

#include "platform/TcpTable.h"

namespace platform {

// The IPv4 listening sockets of a process: the machine's listening sockets,
// from the kernel's socket diagnostics (netlink) or, where that is refused,
// from /proc/net/tcp, kept when their inode is among the process's open
// descriptors (/proc/PID/fd).
class LinuxTcpTable : public TcpTable {
public:
    enum class Source {
        Netlink,     // netlink sock_diag, /proc/net/tcp when refused
        ProcNetTcp,  // /proc/net/tcp only
    };

    explicit LinuxTcpTable(Source source = Source::Netlink) : source_(source) {}

    // One dump of the machine's listening sockets; each process's share is
    // read from its descriptors when asked for.
    std::unique_ptr<ListenerSnapshot> snapshot() override;

    // One process: its descriptors first, so that a process without any
    // socket costs no dump at all.
    bool listenersOf(int pid, std::vector<TcpListener>& out) override;

    // One listening socket of the machine.
    struct Socket {
        std::uint32_t address = 0;  // host byte order
        std::uint16_t port = 0;     // host byte order
        std::uint64_t inode = 0;
    };

    // The machine's IPv4 TCP sockets in the listening state, from each
    // source. False when the source cannot be read.
    static bool netlinkListeners(std::vector<Socket>& out);
    static bool procNetTcpListeners(std::vector<Socket>& out);

    // The socket inodes among a process's open descriptors, ascending. False
    // when its descriptor directory cannot be read.
    static bool socketInodesOf(int pid, std::vector<std::uint64_t>& out);

    // The listeners among `sockets` (sorted by inode) whose inode is one of
    // the process's descriptors.
    static bool listenersAmong(const std::vector<Socket>& sockets, int pid, std::vector<TcpListener>& out);

private:
    bool readListeners(std::vector<Socket>& sockets) const;

    Source source_;
};

}  // namespace platform
