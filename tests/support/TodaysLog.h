#pragma once
#include <string>

// Today's daily log of this program, by the local date, relative to the
// folder the program logs in: "logs/<name>_YYYYMMDD.log".
std::string todaysLogFile();
