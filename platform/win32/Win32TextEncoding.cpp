#include <windows.h>

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

}  // namespace platform
