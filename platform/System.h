#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// Facts about the running system and its file naming.
namespace platform {

// Full path of the running executable; empty when it cannot be read.
std::string executablePath();

// The program's own command-line words, argv[0] first, in UTF-8. Here the
// words main was given; on Windows the wide command line as the system
// splits it (CommandLineToArgvW), since the narrow argv holds the ANSI code
// page and loses what it lacks.
std::vector<std::string> programArguments(int argc, char** argv);

// Separator between directory names in a path.
char pathSeparator();

// Suffix the platform gives executable files ("" here, ".exe" on Windows).
const std::string& executableSuffix();

// Suffix of the shell scripts the supervisor runs (".sh" here, ".bat" on Windows).
const std::string& scriptSuffix();

// This computer's host name; false when it cannot be read.
bool hostName(std::string& name);

// The system's text for one of its error numbers (errno here, GetLastError
// on Windows).
std::string errorText(int error);

// The local calendar time of a time in seconds since 1970; false when it
// cannot be converted.
bool localTime(std::int64_t seconds, std::tm& out);

bool directoryExists(const std::string& path);
bool fileExists(const std::string& path);
// Size in bytes of the file at `path`; -1 when it is not a file or cannot be
// asked about. One system call.
long long fileSize(const std::string& path);
bool createDirectory(const std::string& path);
bool setWorkingDirectory(const std::string& path);
// True when `path` is a directory in which this process can create files;
// otherwise false with the reason ("does not exist", "is not a directory",
// the system's text of why a file cannot be made there).
bool writableDirectory(const std::string& path, std::string& reason);

// For a long-running process without a window: keeps the memory allocator
// from giving each thread a pool of its own (the worker threads allocate
// little, and every pool keeps pages).
void limitMemoryForService();

// True when this process is the first of its PID namespace (PID 1, a
// container's entrypoint): when it ends, the system kills every process
// left in the namespace, and every orphan there becomes its child. Always
// false on Windows.
bool runsAsInit();

// For the window program when it is asked for text instead (--help, ctl,
// --headless, --test-mail): where the system gives a program built for a
// window no standard output (Windows), its output and errors go to the
// console it was started from, unless they already go to a file or a pipe.
// Nothing to do where every program has its standard streams.
void useParentConsole();

// The program's output is UTF-8. Where standard output or error is a
// console (Windows), the console is switched to UTF-8 until the program
// ends, so that it shows any character; elsewhere nothing is done.
void useUtf8Console();

}  // namespace platform
