#pragma once
// Launch at login: registers or unregisters the login launcher with the
// login-item service. A refused change writes startOnLogin back to its
// previous value, so the setting keeps telling what is registered.

#include <string>

inline constexpr const char* kLoginItemIdentifier = "com.vantorel.Lumbrel-Helper";

// Answers whether the service made the change.
bool setLaunchAtLogin(bool enabled);

// True while setLaunchAtLogin writes the setting back after a refusal.
bool isRevertingLaunchAtLogin();
