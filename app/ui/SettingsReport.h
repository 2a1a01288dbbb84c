#pragma once
// The application's settings as "name = value" lines, in declaration order,
// and their registration.

#include <string>
#include <vector>

std::vector<std::string> settingsReport();

// Registers the default of every setting in the standard user defaults, so
// that readers of the raw defaults (the update framework reads
// "SUEnableAutomaticChecks") see them before the application first reads a
// setting.
void registerApplicationDefaults();
