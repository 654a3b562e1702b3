#pragma once
#include <string>
#include <vector>

namespace platform {

// Splits a command line into program arguments the way a POSIX shell splits
// the words of a simple command, without any expansion and without a shell:
//   - blanks (space, tab, newline, carriage return) separate words;
//   - '...' groups its text literally;
//   - "..." groups its text; inside it a backslash escapes only $ ` " \ and
//     newline (other backslashes stay as they are);
//   - outside quotes a backslash takes the next character literally, and a
//     backslash before a newline joins the lines; a backslash at the very end
//     stays as it is;
//   - quoted parts and plain text next to each other form one word, and ""
//     or '' alone is an empty word.
// Nothing else is special: $VAR, *, ~, ;, |, > and # are ordinary text.
class CommandLineSplitter {
public:
    enum class Result {
        Ok,          // words holds the arguments (possibly none)
        Unbalanced,  // a quote was opened and not closed
    };

    static Result split(const std::string& commandLine, std::vector<std::string>& words);
};

}  // namespace platform
