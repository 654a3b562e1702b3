#include "platform/win32/Win32Autostart.h"

#include "platform/win32/Win32CommandLine.h"
#include "platform/win32/Win32WideText.h"

namespace platform {
namespace {

// Writes the value into `key` below `root`, creating the key when
// `create` is set; 0 or the system's error code. `opened` tells whether the
// key could be opened at all.
LONG writeValue(HKEY root, const std::string& key, bool create, const std::string& name, const std::string& data,
                bool& opened) {
    HKEY handle = nullptr;
    const std::wstring keyName = wideText(key);
    const LONG open = create ? ::RegCreateKeyExW(root, keyName.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                                 &handle, nullptr)
                             : ::RegOpenKeyExW(root, keyName.c_str(), 0, KEY_SET_VALUE, &handle);
    opened = open == ERROR_SUCCESS;
    if (!opened) return open;
    // The byte count of the text with its terminating NUL, as the registry
    // documents for REG_SZ. Stored wide, so a path outside the ANSI code
    // page is started as it is.
    const std::wstring text = wideText(data);
    const LONG written =
        ::RegSetValueExW(handle, wideText(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(handle);
    return written;
}

}  // namespace

const char* const Win32Autostart::kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::string Win32Autostart::commandText(const std::string& executable, const std::vector<std::string>& arguments) {
    std::string text = Win32CommandLine::quotedWord(executable);
    for (const std::string& argument : arguments) text += " " + Win32CommandLine::quotedWord(argument);
    return text;
}

AutostartResult Win32Autostart::registerEntry(const std::string& name, const std::string& executable,
                                              const std::vector<std::string>& arguments, std::string& where,
                                              int& error) {
    const std::string data = commandText(executable, arguments);
    where = "HKEY_LOCAL_MACHINE\\" + machineKey_;
    error = 0;
    bool opened = false;
    const LONG machine = writeValue(HKEY_LOCAL_MACHINE, machineKey_, false, name, data, opened);
    if (machine == ERROR_SUCCESS) return AutostartResult::Written;

    // A standard user may not write the machine's key: the user's own Run
    // key starts the program at this user's logons.
    bool userOpened = false;
    const LONG user = writeValue(HKEY_CURRENT_USER, kRunKey, true, name, data, userOpened);
    if (user == ERROR_SUCCESS) {
        where = std::string("HKEY_CURRENT_USER\\") + kRunKey;
        error = static_cast<int>(machine);
        return AutostartResult::WrittenInstead;
    }
    error = static_cast<int>(machine);
    return opened ? AutostartResult::WriteFailed : AutostartResult::CannotOpen;
}

bool Win32Autostart::readEntry(const std::string& name, std::string& data, HKEY root) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, wideText(kRunKey).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    const std::wstring valueName = wideText(name);
    DWORD type = 0, size = 0;
    bool ok = ::RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
              type == REG_SZ;
    if (ok) {
        std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
        ok = ::RegQueryValueExW(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                &size) == ERROR_SUCCESS;
        buffer.resize(size / sizeof(wchar_t));
        // Whether the stored data ends in a NUL depends on the writer.
        while (!buffer.empty() && buffer.back() == L'\0') buffer.pop_back();
        if (ok) data = utf8FromWide(buffer);
    }
    ::RegCloseKey(key);
    return ok;
}

bool Win32Autostart::removeEntry(const std::string& name, HKEY root) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, wideText(kRunKey).c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return false;
    const bool ok = ::RegDeleteValueW(key, wideText(name).c_str()) == ERROR_SUCCESS;
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
