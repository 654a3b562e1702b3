#pragma once
#include "config/AlertMailSettingsData.h"
#include "config/GeneralSettingsData.h"

// Everything procward.ini holds, as plain values: read once at the start,
// handed to whoever needs them, and replaced as a whole when the operator
// saves the settings dialog.
struct Settings {
    GeneralSettingsData general;
    AlertMailSettingsData mail;

    bool operator==(const Settings&) const = default;
};
