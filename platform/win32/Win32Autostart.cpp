#include "platform/win32/Win32Autostart.h"

namespace platform {
namespace {

// One word in double quotes, read back by CommandLineToArgvW and the C
// runtime as it is: backslashes are literal except before a quote, where
// each is doubled, and a quote of the word is \".
std::string quotedWord(const std::string& word) {
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

// Writes the value into `key` below `root`, creating the key when
// `create` is set; 0 or the system's error code. `opened` tells whether the
// key could be opened at all.
LONG writeValue(HKEY root, const std::string& key, bool create, const std::string& name, const std::string& data,
                bool& opened) {
    HKEY handle = nullptr;
    const LONG open = create ? ::RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle,
                                                 nullptr)
                             : ::RegOpenKeyExA(root, key.c_str(), 0, KEY_SET_VALUE, &handle);
    opened = open == ERROR_SUCCESS;
    if (!opened) return open;
    // The byte count of the text with its terminating NUL, as the registry
    // documents for REG_SZ.
    const LONG written = ::RegSetValueExA(handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                         static_cast<DWORD>(data.size() + 1));
    ::RegCloseKey(handle);
    return written;
}

}  // namespace

const char* const Win32Autostart::kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::string Win32Autostart::commandText(const std::string& executable, const std::vector<std::string>& arguments) {
    std::string text = quotedWord(executable);
    for (const std::string& argument : arguments) text += " " + quotedWord(argument);
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
    if (::RegOpenKeyExA(root, kRunKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
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

bool Win32Autostart::removeEntry(const std::string& name, HKEY root) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(root, kRunKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return false;
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
