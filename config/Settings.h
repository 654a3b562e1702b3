#pragma once
#include "config/AlertMailSettingsData.h"
#include <vector>

#include "config/GeneralSettingsData.h"
#include "config/WebhookSettingsData.h"

// Everything procward.ini holds, as plain values: read once at the start,
// handed to whoever needs them, and replaced as a whole when the operator
// saves the settings dialog.
struct Settings {
    GeneralSettingsData general;
    AlertMailSettingsData mail;
    std::vector<WebhookSettingsData> webhooks;  // the [WEBHOOK.<name>] sections, in the file's order

    bool operator==(const Settings&) const = default;
};
