// The window program itself, started as an operator starts it: from its
// folder with its two files. It starts its servers, shows one row per
// server, and ends on Escape. Run under Xvfb.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "platform/ProcessControl.h"
#include "platform/ProcessTable.h"
#include "platform/Text.h"
#include "tests/support/TempDir.h"
#include "tests/win32/support/WinTestServer.h"
#include "tests/win32/support/WinTestText.h"

namespace {

struct Windows {
    DWORD pid;
    std::vector<HWND> found;
};

std::vector<HWND> visibleTopLevelWindows(DWORD pid) {
    Windows search{pid, {}};
    ::EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Windows*>(context);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            if (owner == s->pid && ::IsWindowVisible(window)) s->found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<std::string> childTexts(HWND window) {
    std::vector<std::string> texts;
    ::EnumChildWindows(
        window,
        [](HWND child, LPARAM context) -> BOOL {
            char text[512] = {};
            ::GetWindowTextA(child, text, sizeof text);
            if (text[0]) reinterpret_cast<std::vector<std::string>*>(context)->push_back(text);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&texts));
    return texts;
}

bool contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::vector<int> childrenOf(int parent) {
    std::vector<int> pids;
    platform::ProcessSnapshot snapshot;
    if (platform::processTable().snapshot(snapshot))
        for (const auto& entry : snapshot)
            if (entry.parentPid == parent) pids.push_back(entry.pid);
    return pids;
}

}  // namespace

TEST(Win32WindowSmokeTest, TheWindowShowsItsRowsAndEndsOnEscape) {
    TempDir dir;
    const std::string procward = dir.path() + "\\procward.exe";
    ASSERT_TRUE(::CopyFileA((testProgramDirectory() + "\\procward.exe").c_str(), procward.c_str(), FALSE));
    const std::string one = WinTestServer::copyProgram(dir, "one.exe");
    const std::string two = WinTestServer::copyProgram(dir, "two.exe");
    const std::string chineseName = "游戏服";  // in the ANSI code page, as the file holds it
    writeFile(dir.path() + "\\serverinfo.json",
              "[{\"name\":\"gs-one\",\"processname\":\"one\",\"commandline\":\"" + jsonEscaped(one + " -x 1") +
                  "\"},{\"name\":\"" + chineseName + "\",\"processname\":\"two.exe\",\"commandline\":\"" +
                  jsonEscaped(two) + "\"}]");
    // Without the questions, Escape ends the program at once: what is
    // smoke-tested here is the window, not the question's dialog.
    writeFile(dir.path() + "\\procward.ini", "[GENERAL]\r\nCHECK_SVR_STATUS_INTERVAL=1\r\nCONFIRM_DANGEROUS=0\r\n");

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    std::vector<char> commandLine(procward.begin(), procward.end());
    commandLine.push_back('\0');
    // Started from another folder: it finds its files beside itself.
    ASSERT_TRUE(::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 testProgramDirectory().c_str(), &startup, &created));
    ::CloseHandle(created.hThread);
    const int pid = static_cast<int>(created.dwProcessId);
    struct Cleanup {
        HANDLE process;
        int pid;
        ~Cleanup() {
            if (::WaitForSingleObject(process, 0) != WAIT_OBJECT_0) ::TerminateProcess(process, 1);
            for (int child : childrenOf(pid)) platform::processControl().terminate(child);
            ::CloseHandle(process);
        }
    } cleanup{created.hProcess, pid};

    HWND dialog = nullptr;
    ASSERT_TRUE(eventually([&] {
        const std::vector<HWND> windows = visibleTopLevelWindows(created.dwProcessId);
        dialog = windows.empty() ? nullptr : windows.front();
        return dialog != nullptr;
    }, 30000)) << "no window appeared";

    // Both servers are started and their rows show their names and IDs.
    std::vector<int> servers;
    ASSERT_TRUE(eventually([&] { return (servers = childrenOf(pid)).size() >= 2; }, 20000));
    std::vector<std::string> texts;
    const bool rowsShown = eventually([&] {
        texts = childTexts(dialog);
        return contains(texts, "gs-one") && contains(texts, std::to_string(servers[0])) &&
               contains(texts, std::to_string(servers[1]));
    }, 20000);
    std::string seen;
    for (const auto& text : texts) seen += "[" + text + "] ";
    EXPECT_TRUE(rowsShown) << seen;
    if (::GetACP() == 936)
        EXPECT_TRUE(contains(texts, chineseName)) << seen;
    else
        std::printf("[  NOTE    ] ANSI code page %u, not 936: the Chinese name is not compared\n", ::GetACP());
    EXPECT_TRUE(contains(texts, "停止")) << seen;

    // Escape ends the program (the questions are off).
    ::SetForegroundWindow(dialog);
    INPUT keys[2] = {};
    keys[0].type = keys[1].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[1].ki.wVk = VK_ESCAPE;
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ::SendInput(2, keys, sizeof(INPUT));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(created.hProcess, 20000));
    // Its log says it started.
    EXPECT_NE(std::string::npos, readFile(dir.path() + "\\logs\\" + todaysLogName("procward")).find("Procward started!"));
}
