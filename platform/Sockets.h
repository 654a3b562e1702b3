#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// The socket library of the platform, as the SMTP client uses it: IPv4
// stream sockets, non-blocking connect and waits with a time limit. Every
// byte of a mail, TLS records included, goes through send and receive here.
namespace platform {

// An open socket; kNoSocket when there is none.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

enum class SocketLibraryStart {
    Started,
    Unavailable,   // the library cannot be started
    WrongVersion,  // it started with a version other than the one asked for
};

enum class ConnectStart {
    Connected,   // done at once
    InProgress,  // completes later; wait with waitConnected
    Failed,
};

enum class ConnectWait {
    Connected,
    TimedOut,
    Refused,  // the attempt ended in an error (refused, reset, unreachable)
    Failed,   // the wait itself failed
};

enum class SocketWait {
    Ready,  // the call waited for may now be made (it may still report an error)
    TimedOut,
    Failed,  // the wait itself failed
};

class Sockets {
public:
    virtual ~Sockets() = default;

    // Starts and releases the library; each start is paired with one release.
    virtual SocketLibraryStart startup() = 0;
    virtual void cleanup() = 0;

    // This computer's host name, fully qualified (with its DNS domain) where
    // the system knows one; false when it cannot be read.
    virtual bool hostName(std::string& name) = 0;

    // A new IPv4 stream socket; kNoSocket on failure.
    virtual SocketHandle createStreamSocket() = 0;

    // The TCP port (host byte order) of a named service, looked up with no
    // protocol name; false when there is no such service.
    virtual bool servicePort(const std::string& service, std::uint16_t& port) = 0;

    // A dotted IPv4 address as it stands, else the first IPv4 address of the
    // host name (host byte order); false when it cannot be resolved.
    virtual bool resolveIPv4(const std::string& name, std::uint32_t& address) = 0;

    // Puts the socket into non-blocking mode for the rest of its life.
    virtual bool setNonBlocking(SocketHandle socket) = 0;

    // Starts a connection to an IPv4 address and port (host byte order).
    virtual ConnectStart connect(SocketHandle socket, std::uint32_t address, std::uint16_t port) = 0;

    // Waits until a started connection completes, fails or the limit passes.
    // For Refused and Failed, `reason` receives the system's text of the
    // error ("Connection refused").
    virtual ConnectWait waitConnected(SocketHandle socket, std::chrono::milliseconds limit,
                                      std::string& reason) = 0;

    virtual SocketWait waitWritable(SocketHandle socket, std::chrono::milliseconds limit) = 0;
    virtual SocketWait waitReadable(SocketHandle socket, std::chrono::milliseconds limit) = 0;

    // Sends what the socket accepts now without raising a signal when the
    // peer has gone: the count accepted (0 when it can take nothing yet), or
    // -1 on an error.
    virtual long send(SocketHandle socket, const char* bytes, std::size_t count) = 0;

    // Receives up to count bytes: the count received, 0 when the peer has
    // closed the connection in order, -1 on an error.
    virtual long receive(SocketHandle socket, char* bytes, std::size_t count) = 0;

    // Ends both directions of the socket at once, without closing it. Safe
    // to call from another thread while a wait, connect, send or receive
    // runs on the socket: that call returns at once (a connect in progress
    // is abandoned), so a mail can be cut short at exit.
    virtual void shutdown(SocketHandle socket) = 0;

    virtual void close(SocketHandle socket) = 0;
};

Sockets& sockets();
void setSockets(Sockets* sockets);

// The machine's own, from the platform folder CMake chooses.
Sockets& defaultSockets();

// For code that calls the socket library directly (the metrics' HTTP
// library does) and learns of a failure only from the calling thread's last
// error: clearSocketError before the call, socketErrorText after it gives
// the system's text of the error the call left ("" when it left none).
void clearSocketError();
std::string socketErrorText();

// After receive returned -1 on the calling thread: whether only because
// nothing had arrived yet on a non-blocking socket that a wait reported
// readable, so that another wait and receive may follow. False for every
// real error and for a socket that shutdown() has ended.
bool receiveWouldBlock();

}  // namespace platform
