// The supervisor's end of ctl on Windows: a real named pipe, served on a
// thread of its own, with real clients.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "platform/CommandSocket.h"
#include "tests/win32/support/WinTestServer.h"

namespace {

class Win32CommandSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        // A name of the test's own: never a running supervisor's.
        path = "\\\\.\\pipe\\procward-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
               std::to_string(counter++);
        socket = platform::makeCommandSocket();
    }
    void TearDown() override {
        socket->close();
        if (server.joinable()) server.join();
    }

    // Serves on a thread; every request is kept, and answered at once
    // unless its line is "later".
    void serve() {
        std::string error;
        ASSERT_TRUE(socket->open(path, error)) << error;
        server = std::thread([this] {
            socket->serve([this](platform::CommandRequest request) {
                std::lock_guard<std::mutex> lock(mutex);
                requests.push_back(request);
                if (request.line == "working") socket->notice(request.id, platform::progressNotice(600));
                if (request.line != "later" && request.line != "working")
                    socket->reply(request.id, "0\nanswer to " + request.line + "\n");
            });
        });
    }

    std::string send(const std::string& line, long long timeoutMs = 30000) {
        std::string reply, error;
        const platform::CommandResult result = platform::sendCommand(path, line, reply, error, timeoutMs);
        if (result == platform::CommandResult::TimedOut) return "timed out: " + error;
        return result == platform::CommandResult::Answered ? reply : "failed: " + error;
    }

    std::vector<platform::CommandRequest> seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests;
    }

    std::string path;
    std::unique_ptr<platform::CommandSocket> socket;
    std::thread server;
    std::mutex mutex;
    std::vector<platform::CommandRequest> requests;
};

}  // namespace

TEST_F(Win32CommandSocketTest, ARequestIsAnsweredAndToldWhoSentIt) {
    serve();
    EXPECT_EQ("0\nanswer to status\n", send("status"));
    // A long answer arrives whole: it is more than one read of the client.
    const std::string longLine(20000, 'x');
    EXPECT_EQ("0\nanswer to " + longLine + "\n", send(longLine));

    const auto requests = seen();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("status", requests[0].line);
    EXPECT_EQ(static_cast<std::int64_t>(::GetCurrentProcessId()), requests[0].peerPid);
    EXPECT_EQ(platform::currentUserId(), requests[0].peerUid);
    EXPECT_GE(requests[0].peerUid, 0);
    EXPECT_NE(requests[0].id, requests[1].id);
}

TEST_F(Win32CommandSocketTest, NobodyServingIsNoInstanceAndASecondServerIsRefused) {
    std::string reply, error;
    EXPECT_EQ(platform::CommandResult::NoInstance, platform::sendCommand(path, "status", reply, error, 10000));

    serve();
    auto second = platform::makeCommandSocket();
    EXPECT_FALSE(second->open(path, error));
    EXPECT_EQ("another supervisor already listens on " + path, error);
    // The first one still answers.
    EXPECT_EQ("0\nanswer to status\n", send("status"));
}

TEST_F(Win32CommandSocketTest, AClientWaitingForItsAnswerHoldsUpNoOther) {
    serve();
    auto slow = std::async(std::launch::async, [this] { return send("later"); });
    ASSERT_TRUE(eventually([&] { return seen().size() == 1; }));
    // The first client still waits; the next ones are served meanwhile.
    EXPECT_EQ("0\nanswer to one\n", send("one"));
    EXPECT_EQ("0\nanswer to two\n", send("two"));
    EXPECT_EQ(std::future_status::timeout, slow.wait_for(std::chrono::milliseconds(0)));

    socket->reply(seen()[0].id, "1\nat last\n");
    EXPECT_EQ("1\nat last\n", slow.get());
}

TEST_F(Win32CommandSocketTest, AClientThatSaysNothingIsDroppedAndTheRestAreServed) {
    serve();
    const HANDLE silent = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                        nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, silent);
    EXPECT_EQ("0\nanswer to status\n", send("status"));
    // After the time-out for clients the supervisor closes its end.
    char byte = 0;
    DWORD n = 0;
    const ULONGLONG began = ::GetTickCount64();
    EXPECT_FALSE(::ReadFile(silent, &byte, 1, &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), ::GetLastError());
    EXPECT_GE(::GetTickCount64() - began, 3000u);  // not at once: it was given its time
    ::CloseHandle(silent);
    EXPECT_EQ(1u, seen().size());
}

TEST_F(Win32CommandSocketTest, ANoticeKeepsTheClientWaitingWhileSilenceEndsIt) {
    serve();
    // Told that the answer may take ten minutes: waits beyond its second.
    auto working = std::async(std::launch::async, [this] { return send("working", 1000); });
    ASSERT_TRUE(eventually([&] { return seen().size() == 1; }));
    // A client told nothing gives up after its second...
    EXPECT_EQ("timed out: no answer from the supervisor on " + path, send("later", 1000));
    // ...by which time the first would have too, had it not been told.
    EXPECT_EQ(std::future_status::timeout, working.wait_for(std::chrono::milliseconds(0)));
    socket->reply(seen()[0].id, "0\ndone\n");
    EXPECT_EQ("0\ndone\n", working.get());
}
