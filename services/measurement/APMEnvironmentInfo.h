#pragma once
// Facts about the device for the measurement bundle, and the small helpers
// the engine uses around the application's life cycle.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/runtime/Runtime.h"

class APMConfigStore;

// Created once; safe on any thread.
class APMEnvironmentInfo {
  public:
    static APMEnvironmentInfo& sharedInstance();

    // Probed on the first call only; an empty answer is logged (14000) once.
    std::string deviceModel();
    std::string deviceOSVersion();
    // The first preferred language in lower case ("en-us"); nil (logged,
    // 14001) when the user has none.
    std::optional<std::string> userDefaultLanguage();
    // The local time zone's offset from GMT in minutes, truncated toward
    // zero.
    int timeZoneOffsetMinutes();

    // The language tag of a POSIX locale name ("de_CH.UTF-8" gives "de-ch");
    // nil for none, "C" and "POSIX".
    static std::optional<std::string> languageFromLocaleName(const std::string& localeName);
    // The offset of a zone ("GMT+05:30", "Europe/Paris") at a time, in
    // minutes; nil for an unknown zone.
    static std::optional<int> timeZoneOffsetMinutes(const std::string& zoneID, double unixSeconds);

  private:
    std::once_flag deviceModelOnce_;
    std::string deviceModel_;
};

// The object registered with the application-delegate swizzler, which takes
// only objects of the application-delegate protocol; it answers no delegate
// messages of its own.
class APMAppDelegateInterceptor : public RuntimeObject {
  public:
    static Class runtimeClass();
    static std::shared_ptr<APMAppDelegateInterceptor> sharedInstance();
    APMAppDelegateInterceptor() : RuntimeObject(runtimeClass()) {}
};

struct APMBackwardCompatibilityUtil {
    // Switches an older measurement library off when its class is linked;
    // YES when it had a shared instance to switch off.
    static bool disableDEVAzizoduvura();
};

// Forgets the stored deep link and its time.
void APMRemoveStoredDeepLink(APMConfigStore& userDefaults);

// The notification posted when the application becomes active.
const char* APMApplicationDidBecomeActiveNotificationName();
