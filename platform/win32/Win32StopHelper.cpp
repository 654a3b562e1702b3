#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/StopHelper.h"

namespace platform {

const char* const kStopHelperOption = "--send-ctrl-break";

namespace {

BOOL WINAPI swallow(DWORD) { return TRUE; }

}  // namespace

bool runStopHelper(int argc, char** argv, int& exitCode) {
    if (argc != 3 || std::strcmp(argv[1], kStopHelperOption) != 0) return false;
    char* end = nullptr;
    const unsigned long pid = std::strtoul(argv[2], &end, 10);
    exitCode = 1;
    if (end == argv[2] || *end != '\0' || pid == 0) return true;
    // Started without a console; should one have been given after all, it
    // is left, since a process joins one console at most.
    ::FreeConsole();
    if (!::AttachConsole(static_cast<DWORD>(pid))) return true;
    // This process is in the console now but not in the server's group;
    // it ignores the event all the same (Ctrl-C and Ctrl-Break), should the
    // system deliver it wider than asked.
    ::SetConsoleCtrlHandler(nullptr, TRUE);
    ::SetConsoleCtrlHandler(swallow, TRUE);
    if (::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(pid))) exitCode = 0;
    ::FreeConsole();
    return true;
}

}  // namespace platform
