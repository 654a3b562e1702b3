#pragma once
#include <string>
#include <vector>

namespace platform {

enum class AutostartResult {
    Written,
    WrittenInstead,  // the usual place could not be written (`error` says why); the entry went to the
                     // place of the running user alone, named by `where`
    CannotOpen,  // the place of the entries cannot be opened or created
    WriteFailed, // it could be opened but the entry could not be written
};

// Starting the supervisor when the operator logs on.
class Autostart {
public:
    virtual ~Autostart() = default;
    // Writes (or replaces) the entry `name` that starts `executable` with
    // `arguments` (each quoted as the platform needs). `where` names the
    // place written to; `error` holds the system's error number when the
    // result is not Written.
    virtual AutostartResult registerEntry(const std::string& name, const std::string& executable,
                                          const std::vector<std::string>& arguments, std::string& where,
                                          int& error) = 0;
};

Autostart& autostart();

// How the program words its entry on this platform.
struct AutostartWording {
    const char* entryName;           // the entry's name
    const char* placeName;           // what a failure to open the place is called in the log
    const char* writeFailedMessage;  // shown when the entry cannot be written
};
const AutostartWording& autostartWording();

// The machine's own, from the platform folder CMake chooses.
Autostart& defaultAutostart();

}  // namespace platform
