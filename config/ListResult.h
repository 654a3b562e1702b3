#pragma once
#include <string>
#include <vector>

// What a read or a change of the server list came to. A failure carries the
// text to show the operator (a message box, a line on stderr); the list has
// already logged it. Warnings name the entries and keys a read skipped or
// ignored, each also logged.
struct ListResult {
    bool ok = true;
    bool missing = false;  // a read found no file at all
    std::string error;
    std::vector<std::string> warnings;

    explicit operator bool() const { return ok; }
};
