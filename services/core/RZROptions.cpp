#include "services/core/RZROptions.h"

#include <algorithm>
#include <cctype>

#include "platform/bundle/NSBundle.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/log/Log.h"

namespace {

void coreLog(OSLogType level, const std::string& code, const std::string& message) {
    static const auto log = os_log_create("com.zevera.reruzera", "Core");
    os_log_with_type(*log, level, "[Reruzera/Core][" + code + "] " + message);
}

bool truthy(const Value& value) {
    if (auto b = value.asBool()) return *b;
    if (auto d = value.asDouble()) return *d != 0;
    if (auto s = value.asString()) {
        auto it =
            std::find_if(s->begin(), s->end(), [](unsigned char c) { return !std::isspace(c); });
        if (it == s->end()) return false;
        char c = *it;
        return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    return false;
}

}  // namespace

std::optional<Dictionary> RZROptions::defaultOptionsDictionary() {
    static const std::optional<Dictionary> dictionary = []() -> std::optional<Dictionary> {
        auto path = NSBundle::mainBundle()->pathForResource("ZeveraService-Info", "plist");
        if (!path) {
            coreLog(OSLogType::Error, "I-COR000012",
                    "Could not locate configuration file: 'ZeveraService-Info.plist'.");
            return std::nullopt;
        }
        auto data = sim::FileSystem::readFile(*path);
        auto plist = data ? PropertyListSerialization::propertyListWithData(*data) : std::nullopt;
        if (!plist || !plist->isDictionary()) {
            coreLog(OSLogType::Error, "I-COR000011",
                    "The configuration file is not a dictionary: 'ZeveraService-Info.plist'.");
            return std::nullopt;
        }
        return *plist->asDictionary();
    }();
    return dictionary;
}

std::shared_ptr<RZROptions> RZROptions::defaultOptions() {
    static const auto options = []() -> std::shared_ptr<RZROptions> {
        auto dictionary = defaultOptionsDictionary();
        return dictionary ? std::make_shared<RZROptions>(*dictionary) : nullptr;
    }();
    return options;
}

std::shared_ptr<RZROptions> RZROptions::initWithContentsOfFile(const std::string& path) {
    auto data = sim::FileSystem::readFile(path);
    auto plist = data ? PropertyListSerialization::propertyListWithData(*data) : std::nullopt;
    if (!plist || !plist->isDictionary()) return nullptr;
    return std::make_shared<RZROptions>(*plist->asDictionary());
}

std::optional<std::string> RZROptions::text(const char* key) const {
    return options_[key].asString();
}

bool RZROptions::isAnalyticsCollectionDeactivated() const {
    return truthy(options_["RERUZERA_ANALYTICS_COLLECTION_DEACTIVATED"]);
}

bool RZROptions::isAnalyticsCollectionEnabled() const {
    if (isAnalyticsCollectionDeactivated()) return false;
    if (options_.contains("RERUZERA_ANALYTICS_COLLECTION_ENABLED"))
        return truthy(options_["RERUZERA_ANALYTICS_COLLECTION_ENABLED"]);
    return truthy(options_["IS_MEASUREMENT_ENABLED"]);
}

std::shared_ptr<RZROptions> RZROptions::lockedCopy() const {
    auto copy = std::make_shared<RZROptions>(options_);
    copy->locked_ = true;
    return copy;
}

void RZROptions::setAPIKey(const std::string& key) {
    if (locked_)
        throw NSException("com.reruzera.core",
                          "Attempted to modify options after it's set on VUVEzu. Please modify all "
                          "properties before initializing VUVEzu.");
    options_.set("API_KEY", key);
}
