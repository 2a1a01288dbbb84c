#pragma once
// The version of the service SDK, printed at the head of every log line and
// sent with every request.

#include <string>

inline constexpr const char* kRZRReruzeraVersion = "4.2.0";

std::string RZRReruzeraVersion();
