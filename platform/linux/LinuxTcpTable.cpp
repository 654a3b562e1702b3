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

#include "platform/linux/ListenerOwners.h"

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

// One line of /proc/net/tcp or /proc/net/tcp6:
//   "  sl  local_address rem_address   st tx_queue:rx_queue tr:tm->when retrnsmt   uid  timeout inode ..."
//   "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 12345 ..."
// The address is printed as the 32-bit words the machine holds it in
// (network byte order in memory), each in hex: one word for IPv4, four for
// IPv6. The port is already in host order.
bool parseProcLine(const char* line, const char* end, AddressFamily family, LinuxTcpTable::Socket& socket,
                   bool& listening) {
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
    const std::ptrdiff_t words = family == AddressFamily::IPv4 ? 1 : 4;
    std::uint64_t port = 0, state = 0, inode = 0;
    if (colon == localEnd || colon - local != 8 * words || !parseNumber(colon + 1, localEnd, 16, port) ||
        port > 0xFFFF || !parseNumber(fields[3][0], fields[3][1], 16, state) ||
        !parseNumber(fields[9][0], fields[9][1], 10, inode))
        return false;
    std::uint32_t address[4] = {};
    for (std::ptrdiff_t i = 0; i < words; ++i) {
        std::uint64_t word = 0;
        if (!parseNumber(local + 8 * i, local + 8 * (i + 1), 16, word)) return false;
        address[i] = static_cast<std::uint32_t>(word);
    }
    listening = state == kProcListenState;
    socket = LinuxTcpTable::Socket{};
    socket.listener.family = family;
    if (family == AddressFamily::IPv4)
        socket.listener.localAddress = ntohl(address[0]);
    else
        std::memcpy(socket.listener.localAddress6.data(), address, 16);
    socket.listener.localPort = static_cast<std::uint16_t>(port);
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

// Opens a sock_diag socket; -1 when netlink is refused.
int openDiagSocket() {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return -1;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    // The kernel answers at once; should it not, give up and read the files.
    const timeval limit{1, 0};
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends one dump request of `Request` as `type`; true once it is sent whole.
template <typename Request>
bool sendDumpRequest(int fd, std::uint16_t type, std::uint32_t sequence, const Request& request) {
    struct {
        nlmsghdr header;
        Request request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = type;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = sequence;
    message.request = request;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof message);
}

// Appends the TCP sockets of `family` in the listening state, dumped through
// `fd` with the sequence number `sequence`; AF_UNSPEC: those of IPv4 and
// IPv6 in one dump (through the older request, which the kernel answers
// for both families at once: one pass over its table of listeners instead
// of one per family). On failure `out` is as it was.
bool dumpListening(int fd, std::uint32_t sequence, int family, std::vector<LinuxTcpTable::Socket>& out) {
    const std::size_t before = out.size();
    // The kernel filters: established connections, however many, never
    // come back.
    std::uint16_t answer = SOCK_DIAG_BY_FAMILY;
    if (family == AF_UNSPEC) {
        inet_diag_req request{};
        request.idiag_states = 1U << TCP_LISTEN;
        answer = TCPDIAG_GETSOCK;
        if (!sendDumpRequest(fd, answer, sequence, request)) return false;
    } else {
        inet_diag_req_v2 request{};
        request.sdiag_family = static_cast<std::uint8_t>(family);
        request.sdiag_protocol = IPPROTO_TCP;
        request.idiag_states = 1U << TCP_LISTEN;
        if (!sendDumpRequest(fd, answer, sequence, request)) return false;
    }

    // The kernel fills each part of a dump up to the largest read it has
    // been given on the socket (at least a page less its overhead, at most
    // 32 KiB). Parts of 32 KiB come from its page allocator, at a cost that
    // showed in every check pass; a part and the kernel's own 320 bytes of
    // bookkeeping within 8 KiB come from its slab caches. One socket's
    // message is a small fraction of that.
    constexpr std::size_t kPart = 8192 - 320;
    alignas(nlmsghdr) static thread_local char buffer[kPart];
    for (;;) {
        iovec part{buffer, sizeof buffer};
        sockaddr_nl from{};
        msghdr received{};
        received.msg_name = &from;
        received.msg_namelen = sizeof from;
        received.msg_iov = &part;
        received.msg_iovlen = 1;
        const ssize_t n = ::recvmsg(fd, &received, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || (received.msg_flags & MSG_TRUNC)) {
            out.resize(before);
            return false;
        }
        if (from.nl_pid != 0) continue;  // only the kernel's answers count
        int length = static_cast<int>(n);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
            // Left over from an exchange given up earlier.
            if (header->nlmsg_seq != sequence) continue;
            if (header->nlmsg_type == NLMSG_DONE) return true;
            if (header->nlmsg_type == NLMSG_ERROR) {
                out.resize(before);
                return false;
            }
            if (header->nlmsg_type != answer || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
            const auto* entry = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            if (entry->idiag_state != TCP_LISTEN) continue;
            if (family == AF_UNSPEC ? entry->idiag_family != AF_INET && entry->idiag_family != AF_INET6
                                    : entry->idiag_family != family)
                continue;
            LinuxTcpTable::Socket socket;
            if (entry->idiag_family == AF_INET) {
                socket.listener.localAddress = ntohl(entry->id.idiag_src[0]);
            } else {
                socket.listener.family = AddressFamily::IPv6;
                std::memcpy(socket.listener.localAddress6.data(), entry->id.idiag_src, 16);
            }
            socket.listener.localPort = ntohs(entry->id.idiag_sport);
            socket.inode = entry->idiag_inode;
            out.push_back(socket);
        }
    }
}

// Appends the listening sockets of one /proc/net file; false when it cannot
// be read.
bool procListening(const char* path, AddressFamily family, std::vector<LinuxTcpTable::Socket>& out) {
    std::string text;
    if (!readWholeFile(path, text)) return false;
    const char* p = text.data();
    const char* const end = p + text.size();
    // The first line holds the column titles.
    p = std::find(p, end, '\n');
    while (p < end) {
        const char* line = p + 1;
        p = std::find(line, end, '\n');
        LinuxTcpTable::Socket socket;
        bool listening = false;
        if (line < p && parseProcLine(line, p, family, socket, listening) && listening) out.push_back(socket);
    }
    return true;
}

bool byInode(const LinuxTcpTable::Socket& a, const LinuxTcpTable::Socket& b) { return a.inode < b.inode; }

// Sorted by inode, each socket once: a /proc/net file read while sockets
// come and go may list one twice (it is read in pieces).
void sortByInode(std::vector<LinuxTcpTable::Socket>& sockets) {
    std::sort(sockets.begin(), sockets.end(), byInode);
    sockets.erase(std::unique(sockets.begin(), sockets.end(),
                              [](const LinuxTcpTable::Socket& a, const LinuxTcpTable::Socket& b) {
                                  return a.inode == b.inode && a.inode != 0;
                              }),
                  sockets.end());
}

// The listeners of `sockets` (sorted by inode) with the given inodes.
void listenersWith(const std::vector<LinuxTcpTable::Socket>& sockets, const std::vector<std::uint64_t>& inodes,
                   std::vector<TcpListener>& out) {
    out.clear();
    for (const std::uint64_t inode : inodes) {
        LinuxTcpTable::Socket key;
        key.inode = inode;
        for (auto at = std::lower_bound(sockets.begin(), sockets.end(), key, byInode);
             at != sockets.end() && at->inode == inode; ++at)
            out.push_back(at->listener);
    }
    std::sort(out.begin(), out.end(), listenerBefore);
}

}  // namespace

bool LinuxTcpTable::netlinkListeners(std::vector<Socket>& out) {
    out.clear();
    const int fd = openDiagSocket();
    if (fd < 0) return false;
    FdCloser closer{fd};
    return dumpListening(fd, 1, AF_INET, out) && dumpListening(fd, 2, AF_INET6, out);
}

bool LinuxTcpTable::procNetTcpListeners(std::vector<Socket>& out) {
    out.clear();
    if (!procListening("/proc/net/tcp", AddressFamily::IPv4, out)) return false;
    // Absent where the system runs without IPv6.
    procListening("/proc/net/tcp6", AddressFamily::IPv6, out);
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

bool LinuxTcpTable::listenersAmong(const std::vector<Socket>& sockets, int pid, std::vector<TcpListener>& out) {
    out.clear();
    std::vector<std::uint64_t> inodes;
    if (!socketInodesOf(pid, inodes)) return false;
    listenersWith(sockets, inodes, out);
    return true;
}

// One look at the machine's listening sockets; the owners come from the
// table's ListenerOwners.
class LinuxTcpTable::Snapshot : public ListenerSnapshot {
public:
    Snapshot(LinuxTcpTable& table, std::vector<Socket> sockets) : table_(table), sockets_(std::move(sockets)) {
        sortByInode(sockets_);
        inodes_.reserve(sockets_.size());
        for (const Socket& socket : sockets_) inodes_.push_back(socket.inode);
        inodes_.erase(std::unique(inodes_.begin(), inodes_.end()), inodes_.end());
        // The caller holds the table's mutex.
        look_ = table_.owners_.newLook(inodes_);
        arrival_ = table_.owners_.lastArrival();
        change_ = table_.owners_.lastChange();
    }
    std::optional<std::uint64_t> arrivals() const override { return arrival_; }
    std::optional<std::uint64_t> changes() const override { return change_; }
    bool listenersOf(int pid, std::vector<TcpListener>& out) override {
        out.clear();
        std::vector<std::uint64_t> held;
        {
            const std::lock_guard<std::mutex> lock(table_.mutex_);
            if (!table_.owners_.inodesOf(pid, look_, inodes_, held)) return false;
        }
        listenersWith(sockets_, held, out);
        return true;
    }

private:
    LinuxTcpTable& table_;
    std::vector<Socket> sockets_;        // by inode
    std::vector<std::uint64_t> inodes_;  // theirs, ascending
    std::uint64_t look_ = 0;
    std::uint64_t arrival_ = 0;
    std::uint64_t change_ = 0;
};

LinuxTcpTable::LinuxTcpTable(Source source) : source_(source), owners_(&LinuxTcpTable::socketInodesOf) {}

LinuxTcpTable::~LinuxTcpTable() { closeNetlink(); }

void LinuxTcpTable::closeNetlink() {
    if (netlink_ >= 0) ::close(netlink_);
    netlink_ = -1;
}

bool LinuxTcpTable::netlinkDump(int family, std::vector<Socket>& out) {
    if (netlink_ < 0) netlink_ = openDiagSocket();
    if (netlink_ < 0) return false;
    if (dumpListening(netlink_, ++sequence_, family, out)) return true;
    // Whatever went wrong, the next dump starts on a fresh socket.
    closeNetlink();
    return false;
}

bool LinuxTcpTable::readListeners(std::vector<Socket>& sockets) {
    sockets.clear();
    // Both families in one dump where the kernel still takes the older
    // request; otherwise one dump each.
    if (source_ == Source::Netlink && combinedFailures_ < kCombinedTries) {
        if (netlinkDump(AF_UNSPEC, sockets)) {
            combinedFailures_ = 0;
            return true;
        }
        ++combinedFailures_;
        sockets.clear();
    }
    if (source_ == Source::Netlink && netlinkDump(AF_INET, sockets)) {
        // A system without IPv6 may refuse its family alone.
        if (!netlinkDump(AF_INET6, sockets)) procListening("/proc/net/tcp6", AddressFamily::IPv6, sockets);
        return true;
    }
    return procNetTcpListeners(sockets);
}

std::unique_ptr<ListenerSnapshot> LinuxTcpTable::snapshot() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Socket> sockets;
    if (!readListeners(sockets)) return nullptr;
    return std::make_unique<Snapshot>(*this, std::move(sockets));
}

bool LinuxTcpTable::listenersOf(int pid, std::vector<TcpListener>& out) {
    out.clear();
    std::vector<std::uint64_t> inodes;
    if (!socketInodesOf(pid, inodes)) return false;
    if (inodes.empty()) return true;  // no sockets at all: nothing to look up
    std::vector<Socket> sockets;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!readListeners(sockets)) return false;
    }
    sortByInode(sockets);
    listenersWith(sockets, inodes, out);
    return true;
}

std::uint64_t LinuxTcpTable::descriptorReads() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return owners_.descriptorReads();
}

std::string ipv6Text(const std::array<std::uint8_t, 16>& address) {
    char text[INET6_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET6, address.data(), text, sizeof text)) return {};
    return text;
}

TcpTable& defaultTcpTable() {
    static LinuxTcpTable table;
    return table;
}

}  // namespace platform
