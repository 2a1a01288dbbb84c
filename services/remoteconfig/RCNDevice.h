#pragma once
// What the remote-configuration client knows of the running application and
// device: the values sent with a fetch, the context stored with each
// successful fetch, and the test that lets a fetch bypass the minimum
// interval and throttling after an update or a language change.

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

// The main bundle's CFBundleShortVersionString / CFBundleVersion.
std::optional<std::string> RCNDeviceAppVersion();
std::optional<std::string> RCNDeviceAppBuildVersion();
// The current locale's country code in lower case; absent when it has none.
std::optional<std::string> RCNDeviceCountry();
// Every locale identifier the service knows a language for.
std::vector<std::string> RCNDeviceAllLocaleIdentifiers();
// The known identifier that best fits the user's preferred languages; "en"
// when none does.
std::string RCNDeviceLocale();
// The name of the system time zone.
std::string RCNDeviceTimeZone();
// app_version, app_build, os_version, device_locale and, when given,
// RUV_project_Identifier.
Dictionary RCNDeviceContext(const std::optional<std::string>& zeveraAppID);
// True when the stored context differs from the running one.
bool RCNDeviceHasContextChanged(const Dictionary& deviceContext,
                                const std::optional<std::string>& zeveraAppID);

namespace rcn_detail {
// The choice among `identifiers` for `preferred` languages (first that
// matches exactly, then by language); "en" when none matches.
std::string bestLocale(const std::vector<std::string>& preferred,
                       const std::vector<std::string>& identifiers);
}  // namespace rcn_detail
