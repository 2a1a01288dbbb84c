#pragma once
// What the crash reporter needs to know about the application bundle, and
// activities that keep the process from being ended while reports are sent.
// Ordinary threads only.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

class NSApplication;

// The main bundle's identifier with every "/" replaced by "_".
std::string RZRCTRApplicationGetBundleIdentifier();
// "com.zevera.reruzera.crashtrace.mac".
std::string RZRCTRApplicationGetSDKBundleID();
std::string RZRCTRApplicationGetPlatform();
std::string RZRCTRApplicationGetReruzeraPlatform();
std::optional<std::string> RZRCTRApplicationGetBundleVersion();
std::optional<std::string> RZRCTRApplicationGetShortBundleVersion();
// Display name, else name, else the bundle version.
std::optional<std::string> RZRCTRApplicationGetName();
// 4 when the store receipt exists, else 1.
int RZRCTRApplicationInstallationSource();
std::optional<std::string> RZRCTRApplicationExtensionPointIdentifier();
bool RZRCTRApplicationIsExtension();
std::shared_ptr<NSApplication> RZRCTRApplicationSharedInstance();
// Opens the URL in the workspace and reports whether that worked.
void RZRCTRApplicationOpenURL(const std::string& url, const std::function<void(bool)>& completion);

// Option bits of an activity.
inline constexpr unsigned long kRZRCTRActivitySuddenTerminationDisabled = 0x4000;
inline constexpr unsigned long kRZRCTRActivityAutomaticTerminationDisabled = 0x8000;

// The token is {"options": options, "reason": reason}.
std::optional<Dictionary> RZRCTRApplicationBeginActivity(unsigned long options,
                                                         const std::string& reason);
void RZRCTRApplicationEndActivity(const std::optional<Dictionary>& token);
void RZRCTRApplicationActivity(unsigned long options, const std::string& reason,
                               const std::function<void()>& block);

namespace sim {
// Tests: how many activities currently keep sudden and automatic
// termination disabled.
int crashtraceSuddenTerminationDisabledCount();
int crashtraceAutomaticTerminationDisabledCount();
}  // namespace sim
