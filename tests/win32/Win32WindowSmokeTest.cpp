// The window program itself, started as an operator starts it: from its
// folder with its two files. It starts its servers, shows one row per
// server, and ends on Escape. Run under Xvfb.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <memory>

#include "platform/ProcessControl.h"
#include "platform/ProcessTable.h"
#include "platform/Text.h"
#include "platform/win32/Win32WideText.h"
#include "tests/support/TempDir.h"
#include "tests/win32/support/WinDaemon.h"
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

// The texts of the window's controls, read wide and given in UTF-8: what
// the operator sees, whatever the code page.
std::vector<std::string> childTexts(HWND window) {
    std::vector<std::string> texts;
    ::EnumChildWindows(
        window,
        [](HWND child, LPARAM context) -> BOOL {
            wchar_t text[512] = {};
            ::GetWindowTextW(child, text, 512);
            if (text[0]) reinterpret_cast<std::vector<std::string>*>(context)->push_back(platform::utf8FromWide(text));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&texts));
    return texts;
}


bool contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::vector<int> childrenOf(int parent, bool serversOnly = false) {
    std::vector<int> pids;
    platform::ProcessSnapshot snapshot;
    if (platform::processTable().snapshot(snapshot))
        for (const auto& entry : snapshot)
            if (entry.parentPid == parent &&
                !(serversOnly && platform::equalsNoCase(entry.exeFile, "procward-output.exe")))
                pids.push_back(entry.pid);
    return pids;
}

std::string seenTexts(const std::vector<std::string>& texts) {
    std::string seen;
    for (const auto& text : texts) seen += "[" + text + "] ";
    return seen;
}

// procward.exe copied into the test's folder with two servers and `list`
// as its serverinfo.json, started from another folder (it finds its files
// beside itself). Once its window shows both
// servers' rows, `check` gets the window and its controls' texts; then
// Escape ends it.
void runWindow(const std::string& list, const std::function<void(HWND, const std::vector<std::string>&)>& check) {
    TempDir dir;
    const std::string procward = dir.path() + "\\procward.exe";
    ASSERT_TRUE(::CopyFileA((testProgramDirectory() + "\\procward.exe").c_str(), procward.c_str(), FALSE));
    const std::string one = WinTestServer::copyProgram(dir, "one.exe");
    const std::string two = WinTestServer::copyProgram(dir, "two.exe");
    std::string text = list;
    for (const auto& [mark, path] : {std::pair{std::string("$ONE"), one}, std::pair{std::string("$TWO"), two}})
        text.replace(text.find(mark), mark.size(), jsonEscaped(path));
    writeFile(dir.path() + "\\serverinfo.json", text);
    // Without the questions, Escape ends the program at once: what is
    // smoke-tested here is the window, not the question's dialog.
    writeFile(dir.path() + "\\procward.ini", "[GENERAL]\r\nCHECK_SVR_STATUS_INTERVAL=1\r\nSTART_CONFIRM_SECONDS=0\r\nCONFIRM_DANGEROUS=0\r\n");

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    std::wstring commandLine = platform::wideText(procward);
    ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 platform::wideText(testProgramDirectory()).c_str(), &startup, &created));
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

    // Both servers are started and their rows show their IDs.
    std::vector<int> servers;
    // (Not their output writers, which are children too.)
    ASSERT_TRUE(eventually([&] { return (servers = childrenOf(pid, true)).size() >= 2; }, 20000));
    std::vector<std::string> texts;
    const bool rowsShown = eventually([&] {
        texts = childTexts(dialog);
        return contains(texts, std::to_string(servers[0])) && contains(texts, std::to_string(servers[1]));
    }, 20000);
    EXPECT_TRUE(rowsShown) << seenTexts(texts);
    check(dialog, texts);

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

// The control of `window` that shows `text`; nullptr when none does.
HWND controlShowing(HWND window, const std::string& text) {
    struct Search {
        std::wstring text;
        HWND found;
    } search{platform::wideText(text), nullptr};
    ::EnumChildWindows(
        window,
        [](HWND child, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            wchar_t shown[512] = {};
            ::GetWindowTextW(child, shown, 512);
            if (s->text != shown) return TRUE;
            s->found = child;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The width and height `control`'s text takes in its own font.
SIZE textExtent(HWND control) {
    wchar_t text[512] = {};
    const int length = ::GetWindowTextW(control, text, 512);
    SIZE size{};
    const HDC dc = ::GetDC(control);
    const HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(control, WM_GETFONT, 0, 0)));
    ::GetTextExtentPoint32W(dc, text, length, &size);
    ::SelectObject(dc, old);
    ::ReleaseDC(control, dc);
    return size;
}

// The monitor scale Windows gives the window (GetDpiForWindow, Windows 10
// and later); 0 where the call is missing.
UINT windowDpi(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    const auto get = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    return get ? get(window) : 0;
}


}  // namespace

TEST(Win32WindowSmokeTest, TheWindowShowsItsRowsAndEndsOnEscape) {
    // The list as an older tool saved it, in code page 936 (GBK bytes of 游戏服).
    runWindow("[{\"name\":\"gs-one\",\"processname\":\"one\",\"commandline\":\"$ONE -x 1\"},"
              "{\"name\":\"\xD3\xCE\xCF\xB7\xB7\xFE\",\"processname\":\"two.exe\",\"commandline\":\"$TWO\"}]",
              [](HWND, const std::vector<std::string>& texts) {
                  EXPECT_TRUE(contains(texts, "gs-one")) << seenTexts(texts);
                  EXPECT_TRUE(contains(texts, "游戏服")) << seenTexts(texts);
                  EXPECT_TRUE(contains(texts, "停止")) << seenTexts(texts);
              });
}

TEST(Win32WindowSmokeTest, UnderCodePage1252TheLabelsAndAUtf8ListStayChinese) {
    // An English Windows: code page 1252 has no Chinese character. The
    // window's own labels and a UTF-8 list's names come out whole all the
    // same, and so does a Korean name. Wine takes a program's code page from
    // the locale it is started in, which its children inherit: the test
    // scripts run this test in a pass of its own under en_US.UTF-8.
    ASSERT_EQ(1252u, ::GetACP()) << "run under LANG=en_US.UTF-8";
    const FinishedRun codePage = runToEnd(
        "\"" + testProgramDirectory() + "\\procward-testserver.exe\" --print-code-page --exit-code 0",
        testProgramDirectory());
    ASSERT_NE(std::string::npos, codePage.out.find("code page 1252")) << "the window's code page: " << codePage.out;
    runWindow("\xEF\xBB\xBF[{\"name\":\"游戏服\",\"processname\":\"one\",\"commandline\":\"$ONE -x 1\"},"
              "{\"name\":\"\xEA\xB2\x8C\xEC\x9E\x84\",\"processname\":\"two.exe\",\"commandline\":\"$TWO\"}]",
              [](HWND, const std::vector<std::string>& texts) {
                  for (const char* label : {"游戏服", "\xEA\xB2\x8C\xEC\x9E\x84", "停止", "名称", "命令行", "全部开始",
                                            "添加监控对象"})
                      EXPECT_TRUE(contains(texts, label)) << label << ": " << seenTexts(texts);
              });
}

TEST(Win32WindowSmokeTest, AtDpi144TheRowsAndButtonsGrowWithTheirText) {
    // A monitor at 150 %: the program declares itself aware of the scale,
    // so it must lay itself out larger, not be stretched by the system.
    // Wine takes the scale from the registry when its desktop starts: the
    // test scripts run this test in a pass of its own with LogPixels=144.
    runWindow("[{\"name\":\"gs-one\",\"processname\":\"one\",\"commandline\":\"$ONE -x 1\"},"
              "{\"name\":\"gs-two\",\"processname\":\"two.exe\",\"commandline\":\"$TWO\"}]",
              [](HWND dialog, const std::vector<std::string>& texts) {
                  ASSERT_EQ(144u, windowDpi(dialog)) << "run with the desktop at 144 DPI";
                  // Every bottom button holds its whole label.
                  for (const char* label : {"全部开始", "全部结束", "全部删除", "全部加载", "全部打开"}) {
                      const HWND button = controlShowing(dialog, label);
                      ASSERT_NE(nullptr, button) << label;
                      RECT r{};
                      ::GetClientRect(button, &r);
                      EXPECT_GT(r.right - r.left, textExtent(button).cx) << label;
                      EXPECT_GE(r.bottom - r.top, textExtent(button).cy) << label;
                  }
                  // The row cells and buttons are one and a half times their
                  // height at 96 DPI (22 pixels).
                  const HWND name = controlShowing(dialog, "gs-one");
                  ASSERT_NE(nullptr, name) << seenTexts(texts);
                  RECT cell{};
                  ::GetClientRect(name, &cell);
                  EXPECT_EQ(33, cell.bottom - cell.top);
                  const HWND edit = controlShowing(dialog, "编辑");
                  ASSERT_NE(nullptr, edit);
                  EXPECT_GT(cell.bottom - cell.top, textExtent(edit).cy);
                  RECT button{};
                  ::GetClientRect(edit, &button);
                  EXPECT_GT(button.right - button.left, textExtent(edit).cx);
                  // The reminder is shown.
                  const HWND reminder = controlShowing(dialog, "提示：请记住启动充值回调apache 服务器！");
                  ASSERT_NE(nullptr, reminder);
                  EXPECT_TRUE(::IsWindowVisible(reminder));
              });
}
