// procwardd: the supervisor without a window, for machines without a
// desktop. It links no toolkit, so a server installs no desktop libraries.
#include "app/core/CommandLine.h"
#include "app/core/ProgramModes.h"
#include "platform/StopHelper.h"
#include "platform/System.h"

int main(int argc, char** argv) {
    // A short-lived copy that sends one stop on a supervisor's behalf; it
    // opens no log and reads no files.
    int helperExit = 0;
    if (platform::runStopHelper(argc, argv, helperExit)) return helperExit;
    const CommandLine line = CommandLine::parse(platform::programArguments(argc, argv), true);
    return RunProgramMode(line, "procwardd", true);
}
