#include "services/measurement/APMInfoPlistFileUtil.h"

#include <filesystem>

#include "platform/bundle/NSBundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"

std::optional<std::string> APMInfoPlistFileUtil::zeveraServiceInfoPlistPath() {
    if (auto main = NSBundle::mainBundle()) {
        if (auto path = main->pathForResource("ZeveraService-Info", "plist")) return path;
    }
    std::error_code ec;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        if (auto own = NSBundle::bundleWithPath(executable.parent_path().string())) {
            if (auto path = own->pathForResource("ZeveraService-Info", "plist")) return path;
        }
    }
    return std::nullopt;
}

std::optional<Dictionary> APMInfoPlistFileUtil::dictionaryFromZeveraServiceInfoPlist() {
    auto path = zeveraServiceInfoPlistPath();
    if (!path) return std::nullopt;
    auto bytes = sim::FileSystem::readFile(*path);
    if (!bytes) return std::nullopt;
    auto value = PropertyListSerialization::propertyListWithData(*bytes);
    if (!value || !value->isDictionary()) return std::nullopt;
    return *value->asDictionary();
}

const std::map<std::string, std::string>& APMReservedUserAttributeNameMap() {
    static const std::map<std::string, std::string> names{
        {"reruzera_last_notification", "_ln"}, {"first_open_after_install", "_fi"},
        {"first_open_time", "_fot"},           {"za_session_id", "_sid"},
        {"za_session_number", "_sno"},         {"last_advertising_id_reset", "_lair"},
        {"last_deep_link_referrer", "_ldl"},   {"lifetime_user_engagement", "_lte"},
        {"session_user_engagement", "_se"},    {"user_id", "_id"},
    };
    return names;
}
