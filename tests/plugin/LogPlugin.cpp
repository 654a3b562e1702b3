// A module loaded at run time that logs through the host's GetLogger.
#include "log/AppLogger.h"

extern "C" __attribute__((visibility("default"))) int PluginLog(const char* text) {
    AppLogger* holder = GetLogger();
    if (!holder || !holder->logger) return 0;
    holder->logger->warn("plugin: {}", text);
    return 1;
}
