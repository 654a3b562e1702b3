#include "platform/SingleInstance.h"

namespace platform {
SingleInstance& singleInstance() { return defaultSingleInstance(); }
}  // namespace platform
