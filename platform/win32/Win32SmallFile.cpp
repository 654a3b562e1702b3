#include <windows.h>

#include <algorithm>

#include "platform/SmallFile.h"
#include "platform/System.h"
#include "platform/win32/Win32WideText.h"

namespace platform {
namespace {

SmallFileRead readBounded(const std::string& path, std::size_t limit, bool wholeOnly, std::string& bytes,
                          std::string& reason) {
    bytes.clear();
    reason.clear();
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory is not opened; a named
    // pipe or a device is, and is told apart by its type below. Others may
    // go on writing, renaming or deleting the file meanwhile.
    const HANDLE file =
        ::CreateFileW(wideText(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        reason = errorText(static_cast<int>(error));
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return SmallFileRead::missing;
        return SmallFileRead::failed;
    }
    const DWORD type = ::GetFileType(file);
    if (type != FILE_TYPE_DISK) {
        reason = type == FILE_TYPE_PIPE   ? "is a pipe"
                 : type == FILE_TYPE_CHAR ? "is a character device"
                                          : "is not a regular file";
        ::CloseHandle(file);
        return SmallFileRead::notRegular;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size)) {
        reason = errorText(static_cast<int>(::GetLastError()));
        ::CloseHandle(file);
        return SmallFileRead::failed;
    }
    if (wholeOnly && static_cast<unsigned long long>(size.QuadPart) > limit) {
        reason = "holds " + std::to_string(static_cast<long long>(size.QuadPart)) + " bytes, more than " +
                 std::to_string(limit);
        ::CloseHandle(file);
        return SmallFileRead::tooLarge;
    }
    // Read to the end rather than to the size seen above: a file being
    // rewritten may have been empty a moment ago. One byte beyond the limit
    // tells a file that grew past it meanwhile.
    const std::size_t want = wholeOnly ? limit + 1 : limit;
    char chunk[4096];
    while (bytes.size() < want) {
        DWORD got = 0;
        const DWORD ask = static_cast<DWORD>(std::min(sizeof chunk, want - bytes.size()));
        if (!::ReadFile(file, chunk, ask, &got, nullptr)) {
            reason = errorText(static_cast<int>(::GetLastError()));
            ::CloseHandle(file);
            bytes.clear();
            return SmallFileRead::failed;
        }
        if (got == 0) break;
        bytes.append(chunk, got);
    }
    ::CloseHandle(file);
    if (bytes.size() > limit) {
        bytes.clear();
        reason = "holds more than " + std::to_string(limit) + " bytes";
        return SmallFileRead::tooLarge;
    }
    return SmallFileRead::ok;
}

}  // namespace

SmallFileRead readSmallFile(const std::string& path, std::size_t limit, std::string& bytes, std::string& reason) {
    return readBounded(path, limit, true, bytes, reason);
}

SmallFileRead readFileHead(const std::string& path, std::size_t limit, std::string& bytes) {
    std::string reason;
    return readBounded(path, limit, false, bytes, reason);
}

}  // namespace platform
