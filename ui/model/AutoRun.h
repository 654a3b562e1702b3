#pragma once
#include <string>
#include <vector>

// Registering the supervisor to start when the operator logs on, at every
// start of the window.

// Name of the autostart entry (the platform's wording).
extern const char* const kAutoRunEntryName;

// Shown (caption: the application name, OK button) when the entry could not
// be written.
extern const char* const kAutoRunFailedMessage;

enum class AutoRunResult {
    Registered,   // the entry now starts the running executable
    ErrorLogged,  // the place of the entries could not be opened: logged, nothing to show
    ShowMessage,  // the entry could not be written: the caller shows kAutoRunFailedMessage
};

// The arguments the entry starts the program with: the --config-dir and
// --log-dir it was started with, when it was.
std::vector<std::string> AutoRunArguments();

// Writes the entry through the platform's autostart (the full path of the
// running executable and AutoRunArguments). When the entry went to the
// running user's own place instead of the machine's (a standard user on
// Windows), a warning names the place used and why. When the place cannot be opened it logs at info
// "Writing <place name> error: <place>, error code: <system error code>"
// ("autostart entry" and the entry's path here, "registry" and the key on
// Windows).
AutoRunResult RegisterAutoRun();
