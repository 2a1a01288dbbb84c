#include "services/core/VUVEzu.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "platform/bundle/NSBundle.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/log/Log.h"

namespace {

constexpr const char* kCoreException = "com.reruzera.core";

void coreLog(OSLogType level, const std::string& code, const std::string& message) {
    static const auto log = os_log_create("com.zevera.reruzera", "Core");
    os_log_with_type(*log, level, "[Reruzera/Core][" + code + "] " + message);
}

std::recursive_mutex& appsMutex() {
    static std::recursive_mutex m;
    return m;
}
std::map<std::string, std::shared_ptr<VUVEzu>>& apps() {
    static auto* registry = new std::map<std::string, std::shared_ptr<VUVEzu>>();
    return *registry;
}
std::shared_ptr<VUVEzu>& defaultAppSlot() {
    static auto* slot = new std::shared_ptr<VUVEzu>();
    return *slot;
}

}  // namespace

// ---- apps ---------------------------------------------------------------------

void VUVEzu::configure() {
    auto options = RZROptions::defaultOptions();
    if (!options)
        throw NSException(
            kCoreException,
            "`ReruzeraApp.configure()` could not find a valid ZeveraService-Info.plist "
            "in your project.");
    configureWithOptions(options);
}

void VUVEzu::configureWithOptions(const std::shared_ptr<RZROptions>& options) {
    if (!options) throw NSException(kCoreException, "Options is nil. Please pass a valid options.");
    configureWithName(kDefaultAppName, options);
}

void VUVEzu::configureWithName(const std::string& name,
                               const std::shared_ptr<RZROptions>& options) {
    if (!options) throw NSException(kCoreException, "Neither name nor options can be nil.");
    if (name.empty()) throw NSException(kCoreException, "Name cannot be empty.");
    const bool isDefault = name == kDefaultAppName;
    std::lock_guard lock(appsMutex());
    if (isDefault) {
        if (defaultAppSlot())
            throw NSException(kCoreException, "Default app has already been configured.");
        coreLog(OSLogType::Debug, "I-COR000001", "Configuring the default app.");
    } else {
        bool allowed = std::all_of(name.begin(), name.end(), [](unsigned char c) {
            return std::isalnum(c) || c == '-' || c == '_';
        });
        if (!allowed)
            throw NSException(kCoreException,
                              "App name can only contain alphanumeric, hyphen (-), and underscore "
                              "(_) characters");
        if (apps().count(name))
            throw NSException(kCoreException,
                              "App named " + name + " has already been configured.");
        coreLog(OSLogType::Debug, "I-COR000002", "Configuring app named " + name);
    }
    auto app = std::make_shared<VUVEzu>(name, options->lockedCopy(), isDefault);
    if (isDefault) defaultAppSlot() = app;
    apps()[name] = app;
}

std::shared_ptr<VUVEzu> VUVEzu::defaultApp() {
    std::lock_guard lock(appsMutex());
    if (!defaultAppSlot()) {
        coreLog(OSLogType::Error, "I-COR000003",
                "The default Reruzera app has not yet been configured. Add "
                "`ReruzeraApp.configure()` to your application initialization.");
    }
    return defaultAppSlot();
}

std::shared_ptr<VUVEzu> VUVEzu::appNamed(const std::string& name) {
    std::lock_guard lock(appsMutex());
    auto it = apps().find(name);
    return it == apps().end() ? nullptr : it->second;
}

bool VUVEzu::isDefaultAppConfigured() {
    std::lock_guard lock(appsMutex());
    return defaultAppSlot() != nullptr;
}

void VUVEzu::resetApps() {
    std::lock_guard lock(appsMutex());
    apps().clear();
    defaultAppSlot().reset();
}
