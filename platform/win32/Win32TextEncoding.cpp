#include <windows.h>

#include "platform/Text.h"
#include "platform/TextEncoding.h"
#include "platform/win32/Win32WideText.h"

namespace platform {

// A file an editor saved in the system's encoding holds the ANSI code page;
// characters the code page lacks are written as '?'.
std::string fromFileText(std::string_view text, FileTextEncoding encoding) {
    if (encoding == FileTextEncoding::system) return utf8FromCodePage(text, CP_ACP);
    return std::string(text);
}

std::string toFileText(std::string_view text, FileTextEncoding encoding) {
    if (encoding == FileTextEncoding::system) return codePageFromUtf8(text, CP_ACP);
    return std::string(text);
}

// A console shows its own code page; a file or a pipe gets UTF-8.
std::string terminalText(std::string_view text) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out && out != INVALID_HANDLE_VALUE && ::GetConsoleMode(out, &mode)) {
        const UINT codePage = ::GetConsoleOutputCP();
        if (codePage != CP_UTF8) return codePageFromUtf8(validUtf8(text), codePage);
    }
    return validUtf8(text);
}

}  // namespace platform
