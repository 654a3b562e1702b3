#pragma once
#include <string>

namespace platform {

// Reads numeric fields of /proc/<who>/stat (`who` a process ID or "self"):
// `count` fields from field `first` on, numbered as proc(5) numbers them (4
// and up: the numeric ones). The command name before them may hold blanks
// and parentheses, so they are counted from its last ')'. False when the
// process is gone or the line is not as expected.
bool readProcStatFields(const std::string& who, int first, int count, unsigned long long* values);

}  // namespace platform
