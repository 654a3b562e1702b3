// Windows Sockets as the mail client uses them: the reason of a refused
// connection, and shutdown from another thread ending waits at once.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/Sockets.h"
#include "tests/win32/support/WinTestServer.h"

using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kLoopback = 0x7f000001;

class Win32SocketsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(platform::SocketLibraryStart::Started, sockets.startup()); }
    void TearDown() override { sockets.cleanup(); }

    platform::SocketHandle connecting(std::uint16_t port, platform::ConnectStart& start) {
        const platform::SocketHandle socket = sockets.createStreamSocket();
        EXPECT_NE(platform::kNoSocket, socket);
        EXPECT_TRUE(sockets.setNonBlocking(socket));
        start = sockets.connect(socket, kLoopback, port);
        return socket;
    }

    platform::Sockets& sockets = platform::defaultSockets();
};

// A listening socket of this process on 127.0.0.1 that accepts nothing and
// sends nothing.
struct SilentListener {
    SilentListener() {
        socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(kLoopback);
        ok = ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(socket, 4) == 0;
        int length = sizeof address;
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~SilentListener() { ::closesocket(socket); }
    SOCKET socket;
    std::uint16_t port = 0;
    bool ok = false;
};

}  // namespace

TEST_F(Win32SocketsTest, ARefusedConnectionComesWithTheSystemsReason) {
    platform::ConnectStart start;
    const platform::SocketHandle socket = connecting(static_cast<std::uint16_t>(freePort()), start);
    std::string reason;
    if (start == platform::ConnectStart::InProgress) {
        EXPECT_EQ(platform::ConnectWait::Refused, sockets.waitConnected(socket, 10s, reason));
        EXPECT_FALSE(reason.empty());
        EXPECT_EQ(std::string::npos, reason.find('\n'));
    } else {
        EXPECT_EQ(platform::ConnectStart::Failed, start);
    }
    sockets.close(socket);
}

TEST_F(Win32SocketsTest, ShutdownFromAnotherThreadEndsAWaitForData) {
    SilentListener listener;
    ASSERT_TRUE(listener.ok);
    platform::ConnectStart start;
    const platform::SocketHandle socket = connecting(listener.port, start);
    std::string reason;
    if (start == platform::ConnectStart::InProgress)
        ASSERT_EQ(platform::ConnectWait::Connected, sockets.waitConnected(socket, 10s, reason)) << reason;
    else
        ASSERT_EQ(platform::ConnectStart::Connected, start);

    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        sockets.shutdown(socket);
    });
    // Far longer than any test run: only the shutdown can end this wait.
    const platform::SocketWait wait = sockets.waitReadable(socket, std::chrono::hours(1));
    stopper.join();
    EXPECT_EQ(platform::SocketWait::Ready, wait);
    char byte;
    EXPECT_EQ(-1, sockets.receive(socket, &byte, 1));
    EXPECT_EQ(-1, sockets.send(socket, "x", 1));
    sockets.close(socket);
}

TEST_F(Win32SocketsTest, AConnectionEndedBeforeItsWaitIsAbandonedWithAReason) {
    // A non-blocking connect, even to 127.0.0.1, is mostly still pending
    // when connect returns; left alone it would complete. Only the pending
    // case says anything about shutdown.
    SilentListener listener;
    ASSERT_TRUE(listener.ok);
    platform::ConnectStart start;
    const platform::SocketHandle socket = connecting(listener.port, start);
    if (start != platform::ConnectStart::InProgress) {
        sockets.close(socket);
        GTEST_SKIP() << "the connection to 127.0.0.1 did not stay pending";
    }
    sockets.shutdown(socket);
    std::string reason;
    EXPECT_EQ(platform::ConnectWait::Refused, sockets.waitConnected(socket, std::chrono::hours(1), reason));
    EXPECT_FALSE(reason.empty());
    sockets.close(socket);
}
