#include "tests/support/TestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/TempDir.h"

std::string testServerPath() { return PROCWARD_TESTSERVER; }

std::string copyTestServer(const std::string& path) {
    if (!std::filesystem::exists(path)) {
        std::filesystem::copy_file(testServerPath(), path);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }
    return path;
}

int freeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

TestServer::TestServer(const std::vector<std::string>& args, const std::string& program) {
    char readyPattern[] = "/tmp/procward-ready-XXXXXX";
    const int readyFd = ::mkstemp(readyPattern);
    if (readyFd < 0) throw std::runtime_error("mkstemp");
    ::close(readyFd);
    ::unlink(readyPattern);
    const std::string ready = readyPattern;
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::setenv("PROCWARD_READY_FILE", ready.c_str(), 1);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    const bool up = waitFor([&] { return ::access(ready.c_str(), F_OK) == 0; }, 5000);
    ::unlink(ready.c_str());
    if (!up) {
        kill();
        throw std::runtime_error("test server did not start: " + program);
    }
}

TestServer::~TestServer() { kill(); }

void TestServer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = 0;
}

bool processAlive(int pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    std::ifstream in(path);
    std::string text;
    if (!std::getline(in, text)) return false;
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z' && text[close + 2] != 'X';
}

void killAndWait(int pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    waitFor([&] { return !processAlive(pid); });
}
