#pragma once
#include <string>

#include "config/GeneralSettingsData.h"
#include "supervision/SupervisionOptions.h"

// The supervision options of the [GENERAL] settings.
SupervisionOptions SupervisionOptionsFrom(const GeneralSettingsData& general);

// Where the servers' output files go: servers/ in the log directory; empty
// (output not kept) when a log directory was given that does not exist.
std::string ServerOutputDirectory();
