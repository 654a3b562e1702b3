#pragma once
#include "config/GeneralSettingsData.h"
#include "supervision/SupervisionOptions.h"

// The supervision options of the [GENERAL] settings.
SupervisionOptions SupervisionOptionsFrom(const GeneralSettingsData& general);
