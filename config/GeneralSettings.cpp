#include "config/GeneralSettings.h"

GeneralSettingsData GeneralSettings;
