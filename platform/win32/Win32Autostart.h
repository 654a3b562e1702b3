#pragma once
#include <string>

#include "platform/Autostart.h"

namespace platform {

// The machine-wide Run key of the registry: a REG_SZ value under
// HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Run, which
// the system starts at every logon.
class Win32Autostart : public Autostart {
public:
    static const char* const kRunKey;

    // Opens the key with full access (CannotOpen and the system's error
    // code when that is refused, for lack of rights) and writes the value
    // `name` with the executable's path as its data, replacing any value of
    // that name. `where` is the key's path below HKEY_LOCAL_MACHINE.
    AutostartResult registerEntry(const std::string& name, const std::string& executable, std::string& where,
                                  int& error) override;

    // The data of a value of the key; false when there is none.
    static bool readEntry(const std::string& name, std::string& data);
    // Removes a value of the key (for tests and uninstalling).
    static bool removeEntry(const std::string& name);
};

}  // namespace platform
