#pragma once
#include "supervision/SupervisionOptions.h"

// The supervision options the settings file (already loaded) gives.
SupervisionOptions SupervisionOptionsFromSettings();
