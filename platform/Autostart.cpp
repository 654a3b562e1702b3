#include "platform/Autostart.h"

namespace platform {
Autostart& autostart() { return defaultAutostart(); }
}  // namespace platform
