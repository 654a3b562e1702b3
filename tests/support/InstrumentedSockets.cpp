#include "tests/support/InstrumentedSockets.h"

using namespace platform;

InstrumentedSockets::InstrumentedSockets() : real_(defaultSockets()) { setSockets(this); }
InstrumentedSockets::~InstrumentedSockets() { setSockets(nullptr); }

SocketLibraryStart InstrumentedSockets::startup() {
    ++startups;
    return startResult == SocketLibraryStart::Started ? real_.startup() : startResult;
}

void InstrumentedSockets::cleanup() {
    ++cleanups;
    real_.cleanup();
}

bool InstrumentedSockets::hostName(std::string& name) { return !failHostName && real_.hostName(name); }

SocketHandle InstrumentedSockets::createStreamSocket() {
    if (failSocket) return kNoSocket;
    const SocketHandle socket = real_.createStreamSocket();
    if (socket != kNoSocket) ++created;
    return socket;
}

bool InstrumentedSockets::servicePort(const std::string& service, std::uint16_t& port) {
    servicesLookedUp.push_back(service);
    if (!serviceAnswer) return real_.servicePort(service, port);
    if (!*serviceAnswer) return false;
    port = **serviceAnswer;
    return true;
}

bool InstrumentedSockets::resolveIPv4(const std::string& name, std::uint32_t& address) {
    return real_.resolveIPv4(name, address);
}

bool InstrumentedSockets::setNonBlocking(SocketHandle socket) { return !failNonBlocking && real_.setNonBlocking(socket); }

ConnectStart InstrumentedSockets::connect(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
    connectPorts.push_back(port);
    connectAddresses.push_back(address);
    if (redirectPort != 0) return real_.connect(socket, 0x7F000001u, redirectPort);
    return real_.connect(socket, address, port);
}

ConnectWait InstrumentedSockets::waitConnected(SocketHandle socket, std::chrono::milliseconds limit,
                                               std::string& reason) {
    return real_.waitConnected(socket, limit, reason);
}
SocketWait InstrumentedSockets::waitWritable(SocketHandle socket, std::chrono::milliseconds limit) {
    return real_.waitWritable(socket, limit);
}
SocketWait InstrumentedSockets::waitReadable(SocketHandle socket, std::chrono::milliseconds limit) {
    return real_.waitReadable(socket, limit);
}
long InstrumentedSockets::send(SocketHandle socket, const char* bytes, std::size_t count) {
    const long n = real_.send(socket, bytes, count);
    if (n > 0) {
        std::lock_guard lock(mutex_);
        sent_.append(bytes, static_cast<std::size_t>(n));
    }
    return n;
}
long InstrumentedSockets::receive(SocketHandle socket, char* bytes, std::size_t count) {
    const long n = real_.receive(socket, bytes, count);
    if (n > 0) {
        std::lock_guard lock(mutex_);
        received_.append(bytes, static_cast<std::size_t>(n));
    }
    return n;
}

std::string InstrumentedSockets::sentBytes() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::string InstrumentedSockets::receivedBytes() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void InstrumentedSockets::shutdown(SocketHandle socket) {
    ++shutdowns;
    real_.shutdown(socket);
}

void InstrumentedSockets::close(SocketHandle socket) {
    ++closed;
    real_.close(socket);
}
