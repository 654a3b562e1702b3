#include "platform/OutputWriter.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/OutputFileCalls.h"
#include "platform/OutputStream.h"
#include "platform/linux/LinuxOutputOffer.h"

// One of these carries the output of every server a supervisor launches
// (it is started with the first of them), so it stays small: one thread,
// one buffer, the C library and a few containers. A complaint about a
// server's file goes into that file.
namespace platform {
namespace {

// A pipe's worth at first; a server that fills it gets a pipe (and reads)
// of kLargeChunk, so a fast writer costs fewer wake-ups. The buffer's pages
// are touched only as far as reads fill them: quiet servers keep it to a
// few pages.
constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kLargeChunk = 1024 * 1024;
constexpr long kGatherNs = 1000L * 1000;

// One server's output: the read end of its pipe, its file, and what the
// supervisor waits on for the output's last bytes (the write end of a pipe
// closed once everything has reached the file; -1 when nobody waits).
class Stream {
public:
    Stream(int in, int out, int done, std::string path, long long maxBytes, int backups)
        : in_(in), done_(done), output_(out, std::move(path), maxBytes, backups) {}
    ~Stream() {
        for (const int fd : {in_, done_})
            if (fd >= 0) ::close(fd);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    int input() const { return in_; }

    enum class Pumped { Some, Much, Ended };
    // One read of what waits in the pipe, carried to the file. Much: the
    // server writes fast (a large pipe came back nearly full).
    Pumped pump(char* buffer) {
        const ssize_t n = ::read(in_, buffer, chunk_);
        if (n == 0) return Pumped::Ended;  // every writer of the pipe has closed it
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) return Pumped::Some;
            output_.complain("cannot read the server's output", errno);
            return Pumped::Ended;
        }
        if (static_cast<std::size_t>(n) >= kChunk / 2 && chunk_ < kLargeChunk &&
            ::fcntl(in_, F_SETPIPE_SZ, static_cast<int>(kLargeChunk)) >= static_cast<int>(kLargeChunk))
            chunk_ = kLargeChunk;
        output_.take(buffer, static_cast<std::size_t>(n));
        return chunk_ == kLargeChunk && static_cast<std::size_t>(n) >= kChunk / 2 ? Pumped::Much : Pumped::Some;
    }

private:
    int in_;
    int done_;
    std::size_t chunk_ = kChunk;
    OutputStream output_;
};

bool wholeNumber(const char* text, long long& value) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= 0;
}

// The streams of every server one supervisor launched, carried in one
// thread. The control socket brings new streams; once it has closed (the
// supervisor ended or restarted) the streams it brought go on until their
// servers close them, and then this ends.
class Carrier {
public:
    explicit Carrier(int control) : control_(control) {}

    int run(std::unique_ptr<Stream> first) {
        poll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (poll_ < 0) return 1;
        if (first) add(std::move(first));
        if (control_ >= 0 && !watch(control_, nullptr)) return 1;
        static char buffer[kLargeChunk];
        epoll_event events[64];
        while (control_ >= 0 || !streams_.empty()) {
            const int n = ::epoll_wait(poll_, events, 64, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return 1;
            }
            bool much = false;
            for (int i = 0; i < n; ++i) {
                auto* stream = static_cast<Stream*>(events[i].data.ptr);
                if (!stream) {
                    takeOffers();
                    continue;
                }
                // Each stream comes at most once a round, so the one ended
                // here is not met again before the next wait.
                switch (stream->pump(buffer)) {
                case Stream::Pumped::Ended: remove(stream); break;
                case Stream::Pumped::Much: much = true; break;
                case Stream::Pumped::Some: break;
                }
            }
            // A server writing fast: let its output gather for a moment, so
            // one wake-up takes hundreds of its writes rather than one. Its
            // large pipe holds what comes meanwhile (a megabyte fills in
            // more than 3 ms even at 300 MB/s), and a quiet server's pipe
            // holds 64 KB, so nobody waits.
            if (much) {
                const timespec pause{0, kGatherNs};
                ::nanosleep(&pause, nullptr);
            }
        }
        return 0;
    }

private:
    bool watch(int fd, Stream* stream) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = stream;
        return ::epoll_ctl(poll_, EPOLL_CTL_ADD, fd, &event) == 0;
    }

    void add(std::unique_ptr<Stream> stream) {
        // Not watched (the server's output would find no reader and the
        // server a SIGPIPE): the stream is dropped, its pipe closed.
        if (!watch(stream->input(), stream.get())) return;
        streams_.emplace(stream.get(), std::move(stream));
    }

    void remove(Stream* stream) {
        ::epoll_ctl(poll_, EPOLL_CTL_DEL, stream->input(), nullptr);
        streams_.erase(stream);  // closes its pipe and file, and tells the supervisor
    }

    // Every offer waiting on the control socket; its end stops new ones.
    void takeOffers() {
        for (;;) {
            char data[sizeof(LinuxOutputOffer) + LinuxOutputOffer::kMaxPath];
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * LinuxOutputOffer::kDescriptors)];
            iovec part{data, sizeof data};
            msghdr message{};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(control_, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            int fds[LinuxOutputOffer::kDescriptors] = {-1, -1, -1};
            std::size_t received = 0;
            for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
                if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
                const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (std::size_t i = 0; i < count; ++i) {
                    int fd;
                    std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
                    if (received < LinuxOutputOffer::kDescriptors)
                        fds[received++] = fd;
                    else
                        ::close(fd);
                }
            }
            if (n <= 0) {
                // The supervisor has gone: what it brought is carried on.
                for (const int fd : fds)
                    if (fd >= 0) ::close(fd);
                ::epoll_ctl(poll_, EPOLL_CTL_DEL, control_, nullptr);
                ::close(control_);
                control_ = -1;
                return;
            }
            LinuxOutputOffer offer;
            const bool whole = static_cast<std::size_t>(n) > sizeof offer && received == LinuxOutputOffer::kDescriptors &&
                               !(message.msg_flags & (MSG_TRUNC | MSG_CTRUNC));
            if (whole) std::memcpy(&offer, data, sizeof offer);
            if (!whole || offer.version != LinuxOutputOffer::kVersion || offer.maxBytes < 0 || offer.backups < 0 ||
                offer.backups > 99) {
                for (const int fd : fds)
                    if (fd >= 0) ::close(fd);
                continue;
            }
            ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
            add(std::make_unique<Stream>(fds[0], fds[1], fds[2],
                                         std::string(data + sizeof offer, static_cast<std::size_t>(n) - sizeof offer),
                                         offer.maxBytes, offer.backups));
        }
    }

    int control_;
    int poll_ = -1;
    std::unordered_map<Stream*, std::unique_ptr<Stream>> streams_;
};

// Room for the descriptors of every stream: three each.
void raiseDescriptorLimit() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
}

}  // namespace

int runOutputWriter(int argc, char** argv) {
    long long maxBytes = 0, backups = 0;
    const bool serving = argc == 2 && std::strcmp(argv[1], "--serve") == 0;
    if (!serving &&
        (argc != 4 || !*argv[1] || !wholeNumber(argv[2], maxBytes) || !wholeNumber(argv[3], backups) || backups > 99)) {
        std::fprintf(stderr,
                     "usage: procward-output FILE MAX_BYTES BACKUPS (standard input: the output)\n"
                     "       procward-output --serve (standard input: the supervisor's socket)\n");
        return 2;
    }
    // Lives as long as servers write: signals meant for a terminal or for
    // the supervisor's group do not end it; only the pipes' ends do.
    for (const int signal : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) ::signal(signal, SIG_IGN);
    // New files (after a rotation) as private as the first one.
    ::umask(027);
    if (serving) {
        raiseDescriptorLimit();
        return Carrier(0).run(nullptr);
    }
    return Carrier(-1).run(std::make_unique<Stream>(0, 1, -1, argv[1], maxBytes, static_cast<int>(backups)));
}

namespace outputfile {

long long size(File file) {
    struct stat info {};
    return ::fstat(static_cast<int>(file), &info) == 0 ? static_cast<long long>(info.st_size) : 0;
}

long long write(File file, const char* bytes, std::size_t count, int& error) {
    for (;;) {
        const ssize_t n = ::write(static_cast<int>(file), bytes, count);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        error = errno;
        return -1;
    }
}

bool truncate(File file, const std::string& /*path*/, int& error) {
    if (::ftruncate(static_cast<int>(file), 0) == 0) return true;
    error = errno;
    return false;
}

File openAppend(const std::string& path, int& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC, 0640);
    if (fd < 0) error = errno;
    return fd < 0 ? kNoFile : fd;
}

void close(File file) { ::close(static_cast<int>(file)); }

bool rename(const std::string& from, const std::string& to, int& error, bool& missing) {
    missing = false;
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    error = errno;
    missing = errno == ENOENT;
    return false;
}

bool samePath(File file, const std::string& path) {
    struct stat atPath {
    }, open{};
    return ::stat(path.c_str(), &atPath) == 0 && ::fstat(static_cast<int>(file), &open) == 0 &&
           atPath.st_dev == open.st_dev && atPath.st_ino == open.st_ino;
}

bool noSpace(int error) { return error == ENOSPC || error == EDQUOT; }

std::string errorText(int error) { return std::strerror(error); }

long long monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::string localStamp() {
    const time_t now = ::time(nullptr);
    tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    return std::string(stamp, ::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local));
}

}  // namespace outputfile

}  // namespace platform
