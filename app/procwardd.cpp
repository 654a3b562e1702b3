// procwardd: the supervisor without a window, for machines without a
// desktop. It links no toolkit, so a server installs no desktop libraries.
#include "app/core/CommandLine.h"
#include "app/core/ProgramModes.h"

int main(int argc, char** argv) {
    const CommandLine line = CommandLine::parse(argc, argv, true);
    return RunProgramMode(line, "procwardd", true);
}
