#pragma once
#include <string>
#include <vector>

#include "platform/Autostart.h"

namespace platform {

// Desktop autostart entries: $XDG_CONFIG_HOME/autostart/<name>.desktop
// (~/.config/autostart when XDG_CONFIG_HOME is unset, empty or relative),
// which session managers start at logon.
class LinuxAutostart : public Autostart {
public:
    // Creates the autostart directory when it is missing and replaces the
    // entry atomically (a new file renamed over the old one). CannotOpen when
    // the directory cannot be created or opened, WriteFailed when the entry
    // cannot be written; `where` is the entry's path in every case.
    AutostartResult registerEntry(const std::string& name, const std::string& executable,
                                  const std::vector<std::string>& arguments, std::string& where, int& error) override;

    // The autostart directory, without a trailing "/".
    static std::string directory();

    // One word of the Exec value (the program or one of its arguments):
    // quoted when it holds a reserved character, with the escapes of desktop
    // entry strings.
    static std::string execValue(const std::string& program);

    // Contents of the entry: `executable` and each of `arguments` quoted for
    // the Exec key.
    static std::string entryText(const std::string& name, const std::string& executable,
                                 const std::vector<std::string>& arguments = {});
};

}  // namespace platform
