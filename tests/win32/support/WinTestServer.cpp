#include "tests/win32/support/WinTestServer.h"

#include <winsock2.h>

#include <atomic>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "tests/support/TempDir.h"
#include "testserver/TestServerSystem.h"

std::string testProgramDirectory() {
    char path[MAX_PATH + 1] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path, n);
    const auto slash = text.find_last_of('\\');
    return slash == std::string::npos ? std::string(".") : text.substr(0, slash);
}

std::string WinTestServer::copyProgram(const TempDir& dir, const std::string& fileName) {
    const std::string source = testProgramDirectory() + "\\procward-testserver.exe";
    const std::string target = dir.path() + "\\" + fileName;
    if (!::CopyFileA(source.c_str(), target.c_str(), FALSE))
        throw std::runtime_error("cannot copy " + source + " to " + target);
    return target;
}

WinTestServer::WinTestServer(const TempDir& dir, const std::string& commandLine) {
    static std::atomic<unsigned> counter{0};
    const std::string ready = dir.path() + "\\ready-" + std::to_string(counter++);
    ScopedEnvironment readyFile("PROCWARD_READY_FILE", ready);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION created{};
    std::vector<char> text(commandLine.begin(), commandLine.end());
    text.push_back('\0');
    if (!::CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP,
                          nullptr, nullptr, &startup, &created))
        return;
    ::CloseHandle(created.hThread);
    process_ = created.hProcess;
    const bool up = eventually([&] {
        return ::GetFileAttributesA(ready.c_str()) != INVALID_FILE_ATTRIBUTES ||
               ::WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
    }, 20000);
    if (up && ::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) pid_ = static_cast<int>(created.dwProcessId);
}

WinTestServer::~WinTestServer() {
    kill();
    if (process_) ::CloseHandle(process_);
}

bool WinTestServer::endsWithin(DWORD ms) const {
    return process_ && ::WaitForSingleObject(process_, ms) == WAIT_OBJECT_0;
}

void WinTestServer::kill() {
    if (process_ && ::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
        ::TerminateProcess(process_, 1);
        ::WaitForSingleObject(process_, 5000);
    }
}

bool askToListen(int pid) {
    HANDLE event = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, testserver::listenEventName(pid).c_str());
    if (!event) return false;
    const bool ok = ::SetEvent(event) != 0;
    ::CloseHandle(event);
    return ok;
}

WinsockSession::WinsockSession() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
}

WinsockSession::~WinsockSession() { ::WSACleanup(); }

int freePort() {
    WinsockSession winsock;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::closesocket(s);
    return port;
}

bool acceptsConnections(int port) {
    WinsockSession winsock;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::closesocket(s);
    return ok;
}

bool runningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

const char* const kWineDropsConsoleEvents =
    "Wine does not deliver a console control event to the process group of another console: "
    "GenerateConsoleCtrlEvent succeeds and the server never sees the Ctrl-Break";
