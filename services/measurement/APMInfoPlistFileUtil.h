#pragma once
// The service configuration list "ZeveraService-Info.plist", looked up in
// the main bundle and then in the library's own bundle (the folder of the
// running executable, where a statically linked library lives). Stateless.

#include <map>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

struct APMInfoPlistFileUtil {
    static std::optional<std::string> zeveraServiceInfoPlistPath();
    static std::optional<Dictionary> dictionaryFromZeveraServiceInfoPlist();
};

// The user-attribute names the library reserves: public name to internal
// name. Built once; safe on any thread.
const std::map<std::string, std::string>& APMReservedUserAttributeNameMap();
