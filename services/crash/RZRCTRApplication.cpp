#include "services/crash/RZRCTRApplication.h"

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/bundle/NSBundle.h"
#include "services/crash/RZRCTRSDKLog.h"
#include "services/util/ZVUAppEnvironmentUtil.h"

namespace {

std::atomic<int> gSuddenTerminationDisabled{0};
std::atomic<int> gAutomaticTerminationDisabled{0};

std::optional<std::string> infoString(const char* key) {
    const Value* value = NSBundle::mainBundle()->objectForInfoDictionaryKey(key);
    if (!value) return std::nullopt;
    return value->asString();
}

}  // namespace

std::string RZRCTRApplicationGetBundleIdentifier() {
    auto identifier = NSBundle::mainBundle()->bundleIdentifier();
    std::replace(identifier.begin(), identifier.end(), '/', '_');
    return identifier;
}

std::string RZRCTRApplicationGetPlatform() {
    return "mac";
}

std::string RZRCTRApplicationGetSDKBundleID() {
    return "com.zevera.reruzera.crashtrace." + RZRCTRApplicationGetPlatform();
}

std::string RZRCTRApplicationGetReruzeraPlatform() {
    return ZVUAppEnvironmentUtil::applePlatform();
}

std::optional<std::string> RZRCTRApplicationGetBundleVersion() {
    return infoString("CFBundleVersion");
}

std::optional<std::string> RZRCTRApplicationGetShortBundleVersion() {
    return infoString("CFBundleShortVersionString");
}

std::optional<std::string> RZRCTRApplicationGetName() {
    if (auto name = infoString("CFBundleDisplayName")) return name;
    if (auto name = infoString("CFBundleName")) return name;
    return RZRCTRApplicationGetBundleVersion();
}

int RZRCTRApplicationInstallationSource() {
    const auto receipt = std::filesystem::path(NSBundle::mainBundle()->bundlePath()) / "Contents" /
                         "_MASReceipt" / ZVUAppEnvironmentUtil::appStoreReceiptName();
    std::error_code error;
    return std::filesystem::exists(receipt, error) ? 4 : 1;
}

std::optional<std::string> RZRCTRApplicationExtensionPointIdentifier() {
    const Value* extension = NSBundle::mainBundle()->objectForInfoDictionaryKey("NSExtension");
    if (!extension) return std::nullopt;
    const Dictionary* dictionary = extension->asDictionary();
    if (!dictionary) {
        RZRCTRSDKLogError("Error: NSExtension Info.plist entry is mal-formed");
        return std::nullopt;
    }
    const Value* identifier = dictionary->find("NSExtensionPointIdentifier");
    if (!identifier) return std::nullopt;
    if (!identifier->isString()) {
        RZRCTRSDKLogError("Error: NSExtensionPointIdentifier Info.plist entry is mal-formed");
        return std::nullopt;
    }
    return identifier->asString();
}

bool RZRCTRApplicationIsExtension() {
    return RZRCTRApplicationExtensionPointIdentifier().has_value();
}

std::shared_ptr<NSApplication> RZRCTRApplicationSharedInstance() {
    return NSApplication::sharedApplication();
}

void RZRCTRApplicationOpenURL(const std::string& url, const std::function<void(bool)>& completion) {
    const bool opened = NSWorkspace::sharedWorkspace()->openURL(url);
    if (completion) completion(opened);
}

std::optional<Dictionary> RZRCTRApplicationBeginActivity(unsigned long options,
                                                         const std::string& reason) {
    // The process information offers no activities here: termination is held
    // off by the options themselves, as the platform's older interface does.
    if (options & kRZRCTRActivitySuddenTerminationDisabled) ++gSuddenTerminationDisabled;
    if (options & kRZRCTRActivityAutomaticTerminationDisabled) ++gAutomaticTerminationDisabled;
    return Dictionary{{"options", Value(static_cast<unsigned long long>(options))},
                      {"reason", Value(reason)}};
}

void RZRCTRApplicationEndActivity(const std::optional<Dictionary>& token) {
    if (!token) return;
    const auto options = (*token)["options"].asUInt().value_or(0);
    if (options & kRZRCTRActivitySuddenTerminationDisabled) --gSuddenTerminationDisabled;
    if (options & kRZRCTRActivityAutomaticTerminationDisabled) --gAutomaticTerminationDisabled;
}

void RZRCTRApplicationActivity(unsigned long options, const std::string& reason,
                               const std::function<void()>& block) {
    const auto token = RZRCTRApplicationBeginActivity(options, reason);
    if (block) block();
    RZRCTRApplicationEndActivity(token);
}

namespace sim {
int crashtraceSuddenTerminationDisabledCount() {
    return gSuddenTerminationDisabled.load();
}
int crashtraceAutomaticTerminationDisabledCount() {
    return gAutomaticTerminationDisabled.load();
}
}  // namespace sim
