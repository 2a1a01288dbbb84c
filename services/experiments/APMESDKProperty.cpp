#include "services/experiments/APMESDKProperty.h"

#include "services/experiments/APMEManager.h"
#include "services/measurement/APMExtensions.h"

namespace {

std::mutex& providerMutex() {
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}

APMESDKProperty::AppInstanceIDProvider& provider() {
    static auto* p = new APMESDKProperty::AppInstanceIDProvider();
    return *p;
}

enum : std::int32_t { kAPMPBCustomPropertyKey = 0, kAPMPBCustomPropertyValue = 1 };

}  // namespace

std::shared_ptr<APMESDKProperty> APMESDKProperty::initWithName(const Value& name) {
    if (!name.isString()) {
        APMEManager::monitor().logWithLevel(1, 860000, "Cannot init SDK property with invalid name",
                                            name);
        return nullptr;
    }
    return std::shared_ptr<APMESDKProperty>(new APMESDKProperty(*name.asString()));
}

void APMESDKProperty::setAppInstanceIDProvider(AppInstanceIDProvider p) {
    std::lock_guard lock(providerMutex());
    provider() = std::move(p);
}

std::shared_ptr<APMPBClientProperty> APMESDKProperty::proto() const {
    std::optional<std::string> source = diversionKey;
    if (!source) {
        AppInstanceIDProvider p;
        {
            std::lock_guard lock(providerMutex());
            p = provider();
        }
        if (p) source = p();
    }
    if (!source) {
        APMEManager::monitor().logWithLevel(1, 860001, "Diversion key is empty");
        return nullptr;
    }
    auto message = APMPBClientProperty::make();
    APMPBSetString(message.get(), kAPMPBClientPropertySDKName, Value(name_));
    if (auto hashed = apm_MD5String(*source + "-" + name_)) {
        APMPBSetString(message.get(), kAPMPBClientPropertyHashedDiversionKey, Value(*hashed));
    }
    APMPBSetInt64(message.get(), kAPMPBClientPropertyVersion, version);
    if (appID) APMPBSetString(message.get(), kAPMPBClientPropertyAppID, Value(*appID));
    std::map<std::string, std::string> custom =
        customProperties.value_or(std::map<std::string, std::string>{});
    if (auto d = delegate.lock()) {
        for (auto& [key, value] : d->dynamicCustomPropertiesForSDKProperty(*this)) {
            custom[key] = value;
        }
    }
    if (!custom.empty()) {
        std::vector<APMPBObject> entries;
        for (const auto& [key, value] : custom) {
            auto entry = APMPBCustomProperty::make();
            APMPBSetString(entry.get(), kAPMPBCustomPropertyKey, Value(key));
            APMPBSetString(entry.get(), kAPMPBCustomPropertyValue, Value(value));
            entries.emplace_back(entry);
        }
        APMPBSetArray(message.get(), kAPMPBClientPropertyCustomProperties, entries);
    }
    return message;
}
