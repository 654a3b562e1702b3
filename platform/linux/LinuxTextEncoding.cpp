#include "platform/TextEncoding.h"

namespace platform {

// The system's 8-bit encoding is UTF-8 here: only the byte-order mark
// differs, and the callers keep that apart.
std::string fromFileText(std::string_view text, FileTextEncoding) { return std::string(text); }

std::string toFileText(std::string_view text, FileTextEncoding) { return std::string(text); }

}  // namespace platform
