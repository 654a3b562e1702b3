#pragma once
#include <string>

// Directory of the running executable, without a trailing separator; empty
// when the path holds no separator. Computed anew at each call.
std::string GetExeDirectory();
