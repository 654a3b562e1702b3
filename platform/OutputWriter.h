#pragma once
#include <string>

// The small program that carries launched servers' standard output and
// error to their files: each server writes into a pipe, and this program, a
// process of its own, appends what comes to the server's file and rotates
// it by renaming at the exact size. It holds the pipes' read ends for as
// long as anything of the servers writes, so a server never blocks for
// longer than the program takes to drain its pipe, and never gets SIGPIPE,
// whatever becomes of the supervisor (killed, restarted, crashed): the
// pipes and the program do not depend on it.
namespace platform {

// The writer program installed with this one: beside the running executable,
// else in ../lib/procward/ from it. Empty when there is none (the server then
// appends to its file itself).
std::string outputWriterProgram();

// The writer's whole run, as its main. Two forms:
// `procward-output --serve`, standard input a socket of the supervisor's
// that brings one stream per launched server (where the platform passes
// descriptors); it ends once the socket has closed and every stream it
// brought has ended. `procward-output FILE MAX_BYTES BACKUPS`, standard
// input one pipe, FILE the file it appends to (given opened as standard
// output where the platform lets it be closed once renamed); it ends when
// the pipe's last writer has closed it. MAX_BYTES 0 never rotates;
// BACKUPS 0 empties the file instead of keeping a backup.
int runOutputWriter(int argc, char** argv);

}  // namespace platform
