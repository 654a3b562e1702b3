#pragma once
#include <optional>
#include <string>

// Where a server lives and which scripts belong to it, from its command line
// read as the launcher reads it: the directory is the program's, not that of
// whatever path an argument happens to hold.

// The program the command line starts, as the launcher finds it: the first
// word as written when it names a path, else the file the search path
// gives. `exeName` is the configured executable file name (the launcher
// of some platforms needs it to see where the program ends). None when the
// command line cannot be launched at all.
std::optional<std::string> ServerProgram(const std::string& commandLine, const std::string& exeName);

// The server's directory: the program's path up to and including its last
// separator. None when the command line is empty, cannot be read, or names
// a program that has no directory (a bare name the search path does not
// find); the commands that need a directory then do nothing for that server.
std::optional<std::string> ServerDirectory(const std::string& commandLine, const std::string& exeName);

// File name of the server's reload script in its directory. With E the
// program's file name, T the stem (E without the executable suffix) and X
// "_" plus the text after the last blank when the arguments after the
// program hold two blanks or more:
//   "reload_" + T without its first 4 characters + X + script suffix, or
//   "debug_reload_" + T without its first 9 characters + X + script suffix
//   when E holds "Debug".
// So "/srv/svr_Game 1" gives "reload_Game.sh", "/srv/svr_Game -c 3" gives
// "reload_Game_3.sh" and "/srv/svrDebug_Game" gives "debug_reload_Game.sh".
// None when the command line has no directory, or when the stem is too short
// for the rule (fewer than 4 characters, 9 with "Debug"): such a server
// counts as having no reload script.
std::optional<std::string> ReloadScriptName(const std::string& commandLine, const std::string& exeName);

// The same rule with explicit suffixes (".exe" and ".bat" on Windows).
std::optional<std::string> ReloadScriptName(const std::string& commandLine, const std::string& exeName,
                                            const std::string& executableSuffix, const std::string& scriptSuffix);

// The script "更新时间" runs in the first server's directory.
std::string UpdateTimeScriptName();
