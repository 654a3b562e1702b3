#include "platform/linux/LinuxTcpTable.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace platform {
namespace {

// Closes a descriptor when it goes out of scope.
struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

constexpr unsigned kProcListenState = 0x0A;  // TCP_LISTEN as /proc/net/tcp prints it

bool readWholeFile(const char* path, std::string& out) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    FdCloser closer{fd};
    out.clear();
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

// A number in [first, last) in the given base; false unless all of it is one.
bool parseNumber(const char* first, const char* last, int base, std::uint64_t& value) {
    if (first == last) return false;
    value = 0;
    for (const char* p = first; p != last; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = static_cast<unsigned>(*p - '0');
        else if (base == 16 && *p >= 'A' && *p <= 'F')
            digit = static_cast<unsigned>(*p - 'A' + 10);
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            digit = static_cast<unsigned>(*p - 'a' + 10);
        else
            return false;
        value = value * static_cast<unsigned>(base) + digit;
    }
    return true;
}

// One line of /proc/net/tcp:
//   "  sl  local_address rem_address   st tx_queue:rx_queue tr:tm->when retrnsmt   uid  timeout inode ..."
//   "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 12345 ..."
// The address is the 32-bit value as the machine holds it (network byte
// order in memory), printed in hex; the port is already in host order.
bool parseProcLine(const char* line, const char* end, LinuxTcpTable::Socket& socket, bool& listening) {
    const char* fields[10][2];
    int count = 0;
    const char* p = line;
    while (count < 10) {
        while (p < end && *p == ' ') ++p;
        if (p >= end) return false;
        const char* start = p;
        while (p < end && *p != ' ') ++p;
        fields[count][0] = start;
        fields[count][1] = p;
        ++count;
    }
    // fields: 0 sl, 1 local, 2 remote, 3 state, ..., 9 inode
    const char* local = fields[1][0];
    const char* localEnd = fields[1][1];
    const char* colon = std::find(local, localEnd, ':');
    std::uint64_t address = 0, port = 0, state = 0, inode = 0;
    if (colon == localEnd || colon - local != 8 || !parseNumber(local, colon, 16, address) ||
        !parseNumber(colon + 1, localEnd, 16, port) || port > 0xFFFF ||
        !parseNumber(fields[3][0], fields[3][1], 16, state) || !parseNumber(fields[9][0], fields[9][1], 10, inode))
        return false;
    listening = state == kProcListenState;
    socket.address = ntohl(static_cast<std::uint32_t>(address));
    socket.port = static_cast<std::uint16_t>(port);
    socket.inode = inode;
    return true;
}

// Extracts N from a descriptor link "socket:[N]".
bool socketInode(const char* link, std::size_t length, std::uint64_t& inode) {
    static const char prefix[] = "socket:[";
    const std::size_t prefixLength = sizeof prefix - 1;
    if (length <= prefixLength + 1 || std::memcmp(link, prefix, prefixLength) != 0 || link[length - 1] != ']')
        return false;
    return parseNumber(link + prefixLength, link + length - 1, 10, inode);
}

}  // namespace

bool LinuxTcpTable::netlinkListeners(std::vector<Socket>& out) {
    out.clear();
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return false;
    FdCloser closer{fd};
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
    // The kernel answers at once; should it not, give up and read the file.
    const timeval limit{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = 1;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1U << TCP_LISTEN;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof message)) return false;

    // The kernel sends a dump in messages of at most 32 KiB.
    alignas(nlmsghdr) static thread_local char buffer[32768];
    for (;;) {
        iovec part{buffer, sizeof buffer};
        msghdr received{};
        received.msg_iov = &part;
        received.msg_iovlen = 1;
        const ssize_t n = ::recvmsg(fd, &received, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || (received.msg_flags & MSG_TRUNC)) return false;
        int length = static_cast<int>(n);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_seq != message.header.nlmsg_seq) continue;
            if (header->nlmsg_type == NLMSG_DONE) return true;
            if (header->nlmsg_type == NLMSG_ERROR) return false;
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                continue;
            const auto* entry = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            if (entry->idiag_family != AF_INET || entry->idiag_state != TCP_LISTEN) continue;
            Socket socket;
            socket.address = ntohl(entry->id.idiag_src[0]);
            socket.port = ntohs(entry->id.idiag_sport);
            socket.inode = entry->idiag_inode;
            out.push_back(socket);
        }
    }
}

bool LinuxTcpTable::procNetTcpListeners(std::vector<Socket>& out) {
    out.clear();
    std::string text;
    if (!readWholeFile("/proc/net/tcp", text)) return false;
    const char* p = text.data();
    const char* const end = p + text.size();
    // The first line holds the column titles.
    p = std::find(p, end, '\n');
    while (p < end) {
        const char* line = p + 1;
        p = std::find(line, end, '\n');
        Socket socket;
        bool listening = false;
        if (line < p && parseProcLine(line, p, socket, listening) && listening) out.push_back(socket);
    }
    return true;
}

bool LinuxTcpTable::socketInodesOf(int pid, std::vector<std::uint64_t>& out) {
    out.clear();
    if (pid <= 0) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/fd", pid);
    DIR* dir = ::opendir(path);
    if (!dir) return false;
    const int dirFd = ::dirfd(dir);
    char link[64];
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const ssize_t n = ::readlinkat(dirFd, entry->d_name, link, sizeof link);
        std::uint64_t inode = 0;
        if (n > 0 && static_cast<std::size_t>(n) < sizeof link && socketInode(link, static_cast<std::size_t>(n), inode))
            out.push_back(inode);
    }
    ::closedir(dir);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return true;
}

namespace {

bool byInode(const LinuxTcpTable::Socket& a, const LinuxTcpTable::Socket& b) { return a.inode < b.inode; }

class LinuxListenerSnapshot : public ListenerSnapshot {
public:
    explicit LinuxListenerSnapshot(std::vector<LinuxTcpTable::Socket> sockets) : sockets_(std::move(sockets)) {
        std::sort(sockets_.begin(), sockets_.end(), byInode);
    }
    bool listenersOf(int pid, std::vector<TcpListener>& out) override {
        return LinuxTcpTable::listenersAmong(sockets_, pid, out);
    }

private:
    std::vector<LinuxTcpTable::Socket> sockets_;
};

}  // namespace

bool LinuxTcpTable::readListeners(std::vector<Socket>& sockets) const {
    return (source_ == Source::Netlink && netlinkListeners(sockets)) || procNetTcpListeners(sockets);
}

std::unique_ptr<ListenerSnapshot> LinuxTcpTable::snapshot() {
    std::vector<Socket> sockets;
    if (!readListeners(sockets)) return nullptr;
    return std::make_unique<LinuxListenerSnapshot>(std::move(sockets));
}

bool LinuxTcpTable::listenersAmong(const std::vector<Socket>& sockets, int pid, std::vector<TcpListener>& out) {
    out.clear();
    std::vector<std::uint64_t> inodes;
    if (!socketInodesOf(pid, inodes)) return false;
    for (const std::uint64_t inode : inodes) {
        Socket key;
        key.inode = inode;
        for (auto at = std::lower_bound(sockets.begin(), sockets.end(), key, byInode);
             at != sockets.end() && at->inode == inode; ++at)
            out.push_back(TcpListener{at->address, at->port});
    }
    std::sort(out.begin(), out.end(), [](const TcpListener& a, const TcpListener& b) {
        return a.localAddress != b.localAddress ? a.localAddress < b.localAddress : a.localPort < b.localPort;
    });
    return true;
}

bool LinuxTcpTable::listenersOf(int pid, std::vector<TcpListener>& out) {
    out.clear();
    std::vector<std::uint64_t> inodes;
    if (!socketInodesOf(pid, inodes)) return false;
    if (inodes.empty()) return true;  // no sockets at all: nothing to look up
    std::vector<Socket> sockets;
    if (!readListeners(sockets)) return false;
    std::sort(sockets.begin(), sockets.end(), byInode);
    return listenersAmong(sockets, pid, out);
}

TcpTable& defaultTcpTable() {
    static LinuxTcpTable table;
    return table;
}

}  // namespace platform
