#include "services/experiments/APMEExperimentRequestBuilder.h"

#include <unicode/locid.h>

#include <algorithm>
#include <cctype>

#include "platform/bundle/NSBundle.h"
#include "services/experiments/APMEManager.h"
#include "services/util/ZVUAppEnvironmentUtil.h"

namespace {

// The user's first preferred language as the platform names it ("en-us").
std::optional<std::string> preferredLanguage() {
    const char* name = icu::Locale::getDefault().getBaseName();
    if (!name || !*name) return std::nullopt;
    std::string language(name);
    std::replace(language.begin(), language.end(), '_', '-');
    std::transform(language.begin(), language.end(), language.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return language;
}

}  // namespace

APMEExperimentRequestBuilder& APMEExperimentRequestBuilder::sharedInstance() {
    static auto* builder = new APMEExperimentRequestBuilder();
    return *builder;
}

void APMEExperimentRequestBuilder::addSDKProperty(
    const std::shared_ptr<APMESDKProperty>& property) {
    if (!property) {
        APMEManager::monitor().logWithLevel(2, 880000, "Cannot add an empty SDK property.");
        return;
    }
    std::lock_guard lock(mutex_);
    clientPropertyBySDKName_[property->name()] = property;
}

std::set<std::string> APMEExperimentRequestBuilder::SDKNames() const {
    std::lock_guard lock(mutex_);
    std::set<std::string> names;
    for (const auto& entry : clientPropertyBySDKName_) names.insert(entry.first);
    return names;
}

void APMEExperimentRequestBuilder::removeAllSDKProperties() {
    std::lock_guard lock(mutex_);
    clientPropertyBySDKName_.clear();
}

std::shared_ptr<APMPBAppProperty> APMEExperimentRequestBuilder::appPropertyProto() const {
    auto app = APMPBAppProperty::make();
    APMPBSetString(app.get(), kAPMPBAppPropertyPlatform, Value("macos"));
    APMPBSetString(app.get(), kAPMPBAppPropertyOSVersion,
                   Value(ZVUAppEnvironmentUtil::systemVersion()));
    if (auto model = ZVUAppEnvironmentUtil::deviceModel()) {
        APMPBSetString(app.get(), kAPMPBAppPropertyDeviceModel, Value(*model));
    }
    if (auto language = preferredLanguage()) {
        APMPBSetString(app.get(), kAPMPBAppPropertyLanguage, Value(*language));
    }
    if (auto bundle = NSBundle::mainBundle()) {
        APMPBSetString(app.get(), kAPMPBAppPropertyBundleID, Value(bundle->bundleIdentifier()));
    }
    APMPBSetBool(app.get(), kAPMPBAppPropertyIsFromAppStore,
                 ZVUAppEnvironmentUtil::isFromAppStore());
    APMPBSetInt64(app.get(), kAPMPBAppPropertyLibraryVersion, APMEManager::version());
    return app;
}

std::shared_ptr<APMPBExperimentRequest> APMEExperimentRequestBuilder::request() const {
    std::map<std::string, std::shared_ptr<APMESDKProperty>> properties;
    {
        std::lock_guard lock(mutex_);
        properties = clientPropertyBySDKName_;
    }
    auto request = APMPBExperimentRequest::make();
    std::vector<APMPBObject> clients;
    for (const auto& [name, property] : properties) {
        if (auto proto = property->proto()) clients.emplace_back(proto);
    }
    if (!clients.empty()) {
        APMPBSetArray(request.get(), kAPMPBExperimentRequestClientProperties, clients);
    }
    APMPBSetMessage(request.get(), kAPMPBExperimentRequestAppProperty, appPropertyProto().get());
    return request;
}
