#include "platform/win32/Win32Shell.h"

#include <windows.h>
#include <shellapi.h>

#include "platform/win32/Win32WideText.h"

namespace platform {
namespace {

// ShellExecute reports success by a value above 32.
bool started(HINSTANCE result) { return reinterpret_cast<INT_PTR>(result) > 32; }

}  // namespace

bool Win32Shell::runScript(const std::string& script, const std::string& directory, bool visible) {
    const std::wstring file = wideText(script), folder = wideText(directory);
    return started(::ShellExecuteW(nullptr, L"open", file.c_str(), nullptr, folder.empty() ? nullptr : folder.c_str(),
                                   visible ? SW_SHOWNORMAL : SW_HIDE));
}

bool Win32Shell::openDirectory(const std::string& directory) {
    return started(::ShellExecuteW(nullptr, L"open", wideText(directory).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
}

Shell& defaultShell() {
    static Win32Shell shell;
    return shell;
}

}  // namespace platform
