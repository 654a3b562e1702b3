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

    // The same in UTF-8.
    static bool readUtf8(DWORD pid, std::string& commandLine);

    // The system's UTF-16 text in UTF-8, up to its first NUL.
    static std::string toUtf8(const std::wstring& text);
};

}  // namespace platform
