#pragma once
// The application's settings as "name = value" lines, in declaration order.

#include <string>
#include <vector>

std::vector<std::string> settingsReport();
