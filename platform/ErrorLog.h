#pragma once
#include <string>

// Lets the platform layer write error lines into the program's log, which
// is set up by a layer above it.
namespace platform {

using ErrorSink = void (*)(const std::string& text);

// Where reportError writes from now on; nullptr drops the lines.
void setErrorSink(ErrorSink sink);

void reportError(const std::string& text);

}  // namespace platform
