#include "platform/win32/Win32Autostart.h"

#include <windows.h>

namespace platform {

const char* const Win32Autostart::kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

AutostartResult Win32Autostart::registerEntry(const std::string& name, const std::string& executable,
                                              std::string& where, int& error) {
    where = kRunKey;
    error = 0;
    HKEY key = nullptr;
    const LONG opened = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_ALL_ACCESS, &key);
    if (opened != ERROR_SUCCESS) {
        error = static_cast<int>(opened);
        return AutostartResult::CannotOpen;
    }
    // The byte count of the path without its terminating NUL, as the value
    // has always been written.
    const LONG written = ::RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                                         reinterpret_cast<const BYTE*>(executable.c_str()),
                                         static_cast<DWORD>(executable.size()));
    ::RegCloseKey(key);
    if (written != ERROR_SUCCESS) {
        error = static_cast<int>(written);
        return AutostartResult::WriteFailed;
    }
    return AutostartResult::Written;
}

bool Win32Autostart::readEntry(const std::string& name, std::string& data) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = 0;
    bool ok = ::RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
              type == REG_SZ;
    if (ok) {
        std::string buffer(size, '\0');
        ok = ::RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) ==
             ERROR_SUCCESS;
        buffer.resize(size);
        // Whether the stored data ends in a NUL depends on the writer.
        while (!buffer.empty() && buffer.back() == '\0') buffer.pop_back();
        if (ok) data = std::move(buffer);
    }
    ::RegCloseKey(key);
    return ok;
}

bool Win32Autostart::removeEntry(const std::string& name) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return false;
    const bool ok = ::RegDeleteValueA(key, name.c_str()) == ERROR_SUCCESS;
    ::RegCloseKey(key);
    return ok;
}

Autostart& defaultAutostart() {
    static Win32Autostart autostart;
    return autostart;
}

const AutostartWording& autostartWording() {
    static const AutostartWording wording{"Procward", "registry",
                                          "Parameter error, setting auto-run registry key failed."};
    return wording;
}

}  // namespace platform
