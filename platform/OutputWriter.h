#pragma once
#include <string>

// The small program that carries a launched server's standard output and
// error to its file: the server writes into a pipe, and this program, a
// process of its own, appends what comes to the file and rotates it by
// renaming at the exact size. It holds the pipe's read end for as long as
// anything of the server writes, so the server never blocks for longer
// than the program takes to drain the pipe, and never gets SIGPIPE, whatever
// becomes of the supervisor (killed, restarted, crashed): the pipe and the
// program do not depend on it.
namespace platform {

// The writer program installed with this one: beside the running executable,
// else in ../lib/procward/ from it. Empty when there is none (the server then
// appends to its file itself).
std::string outputWriterProgram();

// The writer's whole run, as its main: `procward-output FILE MAX_BYTES
// BACKUPS` with the pipe as standard input and FILE, opened for appending,
// as standard output. MAX_BYTES 0 never rotates; BACKUPS 0 empties the file
// instead of keeping a backup. Returns the program's exit code once the
// pipe's last writer has closed it.
int runOutputWriter(int argc, char** argv);

}  // namespace platform
