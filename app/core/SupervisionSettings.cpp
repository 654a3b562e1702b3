#include "app/core/SupervisionSettings.h"

#include "config/GeneralSettings.h"

SupervisionOptions SupervisionOptionsFromSettings() {
    SupervisionOptions options;
    const auto seconds = [](std::int32_t value) {
        return std::chrono::milliseconds(static_cast<std::int64_t>(value > 0 ? value : 0) * 1000);
    };
    options.checkInterval = seconds(GeneralSettings.checkInterval);
    options.restartOnExit = GeneralSettings.restartOnExit;
    options.stopTimeout = seconds(GeneralSettings.stopTimeout);
    options.restartBackoffMax = seconds(GeneralSettings.restartBackoffMax);
    return options;
}
