#pragma once

// The version this build of the programs is: the project's version, or the
// Debian package's when debian/rules builds them. --version prints it and
// the metrics report it. Defined in a file CMake writes, so a new version
// recompiles that file alone.
const char* ProgramVersion();
