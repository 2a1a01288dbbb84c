#include "services/core/RZRReruzeraUserAgent.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/bundle/NSBundle.h"
#include "services/core/VUVEzuTesting.h"
#include "services/util/ZVUAppEnvironmentUtil.h"

namespace {

std::mutex& environmentMutex() {
    static std::mutex m;
    return m;
}
std::optional<Dictionary>& environmentCache() {
    static std::optional<Dictionary> cache;
    return cache;
}

Dictionary computeEnvironmentComponents() {
    Dictionary components;
    auto bundle = NSBundle::mainBundle();
    auto infoString = [&bundle](const char* key) -> std::optional<std::string> {
        const Value* value = bundle->objectForInfoDictionaryKey(key);
        return value ? value->asString() : std::nullopt;
    };
    components.set("apple-platform", ZVUAppEnvironmentUtil::applePlatform());
    if (auto sdk = infoString("DTSDKBuild")) components.set("apple-sdk", *sdk);
    components.set("appstore", ZVUAppEnvironmentUtil::isFromAppStore() ? "true" : "false");
    components.set("deploy", ZVUAppEnvironmentUtil::deploymentType());
    if (auto model = ZVUAppEnvironmentUtil::deviceModel()) components.set("device", *model);
    components.set("os-version", ZVUAppEnvironmentUtil::systemVersion());
    if (auto xcode = infoString("DTXcodeBuild")) components.set("xcode", *xcode);
    return components;
}

// The platform's localised case-insensitive order: the English collation at
// secondary strength (case ignored, accents kept).
void sortLocalizedCaseInsensitive(std::vector<std::string>& items) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(
        icu::Collator::createInstance(icu::Locale::getEnglish(), status));
    if (U_FAILURE(status) || !collator) {
        std::sort(items.begin(), items.end());
        return;
    }
    collator->setStrength(icu::Collator::SECONDARY);
    std::stable_sort(items.begin(), items.end(), [&collator](const auto& a, const auto& b) {
        UErrorCode error = U_ZERO_ERROR;
        return collator->compare(icu::UnicodeString::fromUTF8(a), icu::UnicodeString::fromUTF8(b),
                                 error) == UCOL_LESS;
    });
}

}  // namespace

Dictionary RZRReruzeraUserAgent::environmentComponents() {
    std::lock_guard lock(environmentMutex());
    if (!environmentCache()) environmentCache() = computeEnvironmentComponents();
    return *environmentCache();
}

void RZRReruzeraUserAgent::setValue(const std::string& value, const std::string& component) {
    std::lock_guard lock(mutex_);
    valuesByComponent_.set(component, value);
    reruzeraUserAgent_.reset();
}

std::string RZRReruzeraUserAgent::reruzeraUserAgent() {
    std::lock_guard lock(mutex_);
    if (reruzeraUserAgent_) return *reruzeraUserAgent_;
    Dictionary components = valuesByComponent_;
    for (const auto& [name, value] : environmentComponents()) components.set(name, value);
    std::vector<std::string> items;
    for (const auto& [name, value] : components) {
        items.push_back(name + "/" + value.asString().value_or(value.description()));
    }
    sortLocalizedCaseInsensitive(items);
    std::string agent;
    for (const auto& item : items) {
        if (!agent.empty()) agent += ' ';
        agent += item;
    }
    reruzeraUserAgent_ = agent;
    return agent;
}

void RZRReruzeraUserAgent::reset() {
    std::lock_guard lock(mutex_);
    valuesByComponent_ = environmentComponents();
    reruzeraUserAgent_.reset();
}

namespace sim {

void forgetUserAgentEnvironmentForTesting() {
    std::lock_guard lock(environmentMutex());
    environmentCache().reset();
}

}  // namespace sim
