#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "platform/Autostart.h"

namespace platform {

// The Run key of the registry: a REG_SZ value under
// Software\Microsoft\Windows\CurrentVersion\Run, which the system starts at
// every logon. The machine's key (HKEY_LOCAL_MACHINE) is written when this
// account may; a standard user may not, and then the entry goes to the
// user's own key (HKEY_CURRENT_USER), which starts it at this user's logons.
class Win32Autostart : public Autostart {
public:
    static const char* const kRunKey;

    // `machineKey` is the key below HKEY_LOCAL_MACHINE tried first (the Run
    // key; another only to show the fall-back on a machine whose account
    // may write everything).
    explicit Win32Autostart(std::string machineKey = kRunKey) : machineKey_(std::move(machineKey)) {}

    // Writes the value `name` with the quoted command line as its data,
    // replacing any value of that name: into the machine's key, else into
    // the user's (WrittenInstead, `error` holding why the machine's could
    // not be written). CannotOpen or WriteFailed with the system's error
    // code when neither can be written. `where` is the key written (or the
    // last one tried), with its root: "HKEY_CURRENT_USER\Software\...".
    AutostartResult registerEntry(const std::string& name, const std::string& executable,
                                  const std::vector<std::string>& arguments, std::string& where,
                                  int& error) override;

    // The data of the command line: the program and every argument in
    // double quotes, as the C runtime splits a command line back into words
    // (a backslash doubled before a quote, a quote given as \").
    static std::string commandText(const std::string& executable, const std::vector<std::string>& arguments);

    // The data of a value of the Run key under `root`; false when there is none.
    static bool readEntry(const std::string& name, std::string& data, HKEY root = HKEY_LOCAL_MACHINE);
    // Removes a value of the Run key under `root` (for tests and uninstalling).
    static bool removeEntry(const std::string& name, HKEY root = HKEY_LOCAL_MACHINE);

private:
    std::string machineKey_;
};

}  // namespace platform
