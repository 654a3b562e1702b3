#include "app/core/SupervisionSettings.h"

SupervisionOptions SupervisionOptionsFrom(const GeneralSettingsData& general) {
    SupervisionOptions options;
    const auto seconds = [](std::int32_t value) {
        return std::chrono::milliseconds(static_cast<std::int64_t>(value > 0 ? value : 0) * 1000);
    };
    options.checkInterval = seconds(general.checkInterval);
    options.restartOnExit = general.restartOnExit;
    options.stopTimeout = seconds(general.stopTimeout);
    options.restartBackoffMax = seconds(general.restartBackoffMax);
    options.rememberStopped = general.rememberStopped;
    return options;
}
