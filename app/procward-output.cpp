// The writer that carries one server's output into its file (see
// platform/OutputWriter.h). Started by the supervisor at each launch.
#include "platform/OutputWriter.h"

int main(int argc, char** argv) { return platform::runOutputWriter(argc, argv); }
