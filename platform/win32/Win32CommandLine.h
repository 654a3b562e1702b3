#pragma once
#include <string>
#include <string_view>

namespace platform {

// The text rules by which a configured command line and the command line a
// running process holds are compared on Windows. The launcher hands the
// command line to the system as one text, so there are no words to split:
// the program ends where the configured executable file name ends, and
// the arguments are one text from the first blank on.
class Win32CommandLine {
public:
    // The configured command line up to and including the first occurrence
    // of exeName (byte-wise, case-sensitive); empty when it does not occur.
    static std::string programPath(std::string_view commandLine, std::string_view exeName);

    // The configured arguments: the text from the first blank (0x20) on,
    // without leading and trailing blanks; empty without a blank. Tabs and
    // quotes are kept as they are.
    static std::string configuredArguments(std::string_view commandLine);

    // The arguments of a process's command line as the system holds it:
    // every double quote removed, everything before the first blank removed,
    // white space (blank, tab, CR, LF, VT, FF) trimmed at both ends; empty
    // without a blank.
    static std::string processArguments(std::string_view commandLine);

    // One word in double quotes, read back by CommandLineToArgvW and the C
    // runtime as it is: backslashes are literal except before a quote,
    // where each is doubled, and a quote of the word is \".
    static std::string quotedWord(std::string_view word);
};

}  // namespace platform
