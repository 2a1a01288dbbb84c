#include "services/measurement/APMEnvironmentInfo.h"

#include <unicode/timezone.h>
#include <unicode/uloc.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/dispatch/Clock.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMAEU.h"
#include "services/measurement/APMConfigStore.h"
#include "services/measurement/APMMeasurement.h"
#include "services/util/ZVUAppEnvironmentUtil.h"

namespace {

std::optional<int> offsetMinutes(const icu::TimeZone& zone, double unixSeconds) {
    std::int32_t raw = 0;
    std::int32_t dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    zone.getOffset(unixSeconds * 1000.0, false, raw, dst, status);
    if (U_FAILURE(status)) return std::nullopt;
    // Seconds first, then minutes, both truncated toward zero.
    const int seconds = (raw + dst) / 1000;
    return seconds / 60;
}

}  // namespace

APMEnvironmentInfo& APMEnvironmentInfo::sharedInstance() {
    static auto* const instance = new APMEnvironmentInfo();
    return *instance;
}

std::string APMEnvironmentInfo::deviceModel() {
    std::call_once(deviceModelOnce_, [this] {
        deviceModel_ = APMAEU::deviceModel();
        if (deviceModel_.empty()) {
            APMMeasurement::monitor().logWithLevel(2, 14000, "Failed to get device model",
                                                   Value(std::strerror(errno)));
        }
    });
    return deviceModel_;
}

std::string APMEnvironmentInfo::deviceOSVersion() {
    return ZVUAppEnvironmentUtil::systemVersion();
}

std::optional<std::string> APMEnvironmentInfo::userDefaultLanguage() {
    std::optional<std::string> language;
    for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (!value || !*value) continue;
        std::string first = value;
        first = first.substr(0, first.find(':'));
        if ((language = languageFromLocaleName(first))) break;
    }
    if (!language) {
        APMMeasurement::monitor().logWithLevel(2, 14001, "Failed to get preferred language");
    }
    return language;
}

int APMEnvironmentInfo::timeZoneOffsetMinutes() {
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
    return zone ? offsetMinutes(*zone, sim::wallClockSeconds()).value_or(0) : 0;
}

std::optional<std::string> APMEnvironmentInfo::languageFromLocaleName(
    const std::string& localeName) {
    std::string name = localeName.substr(0, localeName.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") return std::nullopt;
    char tag[ULOC_FULLNAME_CAPACITY];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = uloc_toLanguageTag(name.c_str(), tag, sizeof tag, true, &status);
    if (U_FAILURE(status) || length <= 0 || std::string(tag, length) == "und") return std::nullopt;
    std::string language(tag, static_cast<std::size_t>(length));
    for (char& c : language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return language;
}

std::optional<int> APMEnvironmentInfo::timeZoneOffsetMinutes(const std::string& zoneID,
                                                             double unixSeconds) {
    std::unique_ptr<icu::TimeZone> zone(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zoneID)));
    icu::UnicodeString id;
    if (!zone || zone->getID(id) == icu::UnicodeString(UCAL_UNKNOWN_ZONE_ID)) return std::nullopt;
    return offsetMinutes(*zone, unixSeconds);
}

Class APMAppDelegateInterceptor::runtimeClass() {
    static Class cls = ClassBuilder<APMAppDelegateInterceptor>("APMAppDelegateInterceptor")
                           .conformsTo(objc_getProtocol("NSApplicationDelegate"))
                           .registerClass();
    return cls;
}

std::shared_ptr<APMAppDelegateInterceptor> APMAppDelegateInterceptor::sharedInstance() {
    static const auto instance = std::make_shared<APMAppDelegateInterceptor>();
    return instance;
}

bool APMBackwardCompatibilityUtil::disableDEVAzizoduvura() {
    Class cls = NSClassFromString("DEVAzizoduvura");
    if (!cls || !cls->respondsToSelector("sharedInstance")) return false;
    const id shared = objc_msgSend<id>(static_cast<RuntimeObject*>(cls), "sharedInstance");
    if (!shared) return false;
    auto* object = dynamic_cast<RuntimeObject*>(shared.get());
    if (object && object->respondsToSelector("setIsEnabled:")) {
        objc_msgSend(object, "setIsEnabled:", false);
    }
    return true;
}

void APMRemoveStoredDeepLink(APMConfigStore& userDefaults) {
    userDefaults.removeObjectForKey("/zevera/measurement/deep_link");
    userDefaults.removeObjectForKey("/zevera/measurement/deep_link_timestamp_seconds");
}

const char* APMApplicationDidBecomeActiveNotificationName() {
    return "NSApplicationDidBecomeActiveNotification";
}
