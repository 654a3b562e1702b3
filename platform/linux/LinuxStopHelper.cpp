#include "platform/StopHelper.h"

namespace platform {

const char* const kStopHelperOption = "--send-ctrl-break";

// A signal reaches any process of the user from anywhere: no helper.
bool runStopHelper(int, char**, int&) { return false; }

}  // namespace platform
