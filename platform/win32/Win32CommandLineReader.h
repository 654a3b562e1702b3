#pragma once
#include <windows.h>

#include <string>

namespace platform {

// Reads the command line another process was started with out of its own
// memory: its process environment block leads to its process parameters,
// which hold the command line as UTF-16 text. A 64-bit reader reads a
// 64-bit process through the 64-bit layout of these structures and a 32-bit
// (WOW64) process through its 32-bit environment block and the 32-bit
// layout. The whole command line is read, however long.
class Win32CommandLineReader {
public:
    // False when the process cannot be opened for reading, its structures
    // cannot be read, or NtQueryInformationProcess is not available (an
    // error line is logged for that, once per call while it lasts).
    static bool read(DWORD pid, std::wstring& commandLine);

    // The same, converted to the ANSI code page.
    static bool readAnsi(DWORD pid, std::string& commandLine);

    // UTF-16 text in the ANSI code page.
    static std::string toAnsi(const std::wstring& text);
};

}  // namespace platform
