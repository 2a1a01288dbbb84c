#include "services/crash/RZRCrashtrace.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>

#include "platform/bundle/Home.h"
#include "platform/bundle/NSBundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/log/Log.h"

namespace {

constexpr const char* kCollectionKey = "com.crashtrace.data_collection";

Dictionary readDefaults() {
    auto data = sim::FileSystem::readFile(RZRCrashtrace::defaultsFilePath());
    if (!data) return {};
    auto plist = PropertyListSerialization::propertyListWithData(*data);
    if (!plist || !plist->isDictionary()) return {};
    return *plist->asDictionary();
}

bool stringTruth(const std::string& s) {
    auto it = std::find_if(s.begin(), s.end(), [](unsigned char c) { return !std::isspace(c); });
    if (it == s.end()) return false;
    char c = *it;
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace

std::shared_ptr<RZRCrashtrace> RZRCrashtrace::crashtrace() {
    static const auto shared = std::make_shared<RZRCrashtrace>();
    return shared;
}

std::string RZRCrashtrace::defaultsFilePath() {
    auto identifier = NSBundle::mainBundle()->bundleIdentifier();
    std::replace(identifier.begin(), identifier.end(), '/', '_');
    std::filesystem::path directory = sim::applicationSupportPath();
    if (!identifier.empty()) directory /= identifier;
    return (directory / "com.crashtrace" / "CTRUserDefaults.plist").string();
}

long RZRCrashtrace::stickySetting() {
    return readDefaults()[kCollectionKey].asInt().value_or(0);
}

void RZRCrashtrace::setCrashtraceCollectionEnabled(bool enabled) {
    auto defaults = readDefaults();
    defaults.set(kCollectionKey, enabled ? 1 : 2);
    auto data = PropertyListSerialization::dataWithPropertyList(Value(defaults),
                                                                PropertyListFormat::Binary);
    int error = 0;
    if (!data || !sim::FileSystem::writeFileAtomically(defaultsFilePath(), *data, &error)) {
        static const auto* const log = new OSLog(*os_log_create(
            "com.zevera.reruzera", "Crashtrace"));  // used until the last thread ends
        os_log_error(*log, std::string("[Reruzera/Crashtrace] Could not store the collection "
                                       "setting: ") +
                               std::strerror(error));
    }
}

bool RZRCrashtrace::isCrashtraceCollectionEnabled() const {
    if (long sticky = stickySetting(); sticky != 0) return sticky == 1;
    const Value* info =
        NSBundle::mainBundle()->objectForInfoDictionaryKey("ReruzeraCrashtraceCollectionEnabled");
    if (info) {
        if (auto text = info->asString()) return stringTruth(*text);
        if (auto flag = info->asBool()) return *flag;
        if (auto number = info->asDouble()) return *number != 0;
    }
    return false;
}
