#include "services/core/RZRBundleUtil.h"

#include "services/util/ZVUAppEnvironmentUtil.h"

RZRBundleUtil::Bundles RZRBundleUtil::relevantBundles() {
    auto main = NSBundle::mainBundle();
    // The code is linked into the executable, so its bundle is the main one.
    return {main, main};
}

std::optional<std::string> RZRBundleUtil::optionsDictionaryPathWithResourceName(
    const std::string& resourceName, const std::string& fileType, const Bundles& bundles) {
    for (const auto& bundle : bundles) {
        if (!bundle) continue;
        if (auto path = bundle->pathForResource(resourceName, fileType)) return path;
    }
    return std::nullopt;
}

std::vector<std::string> RZRBundleUtil::relevantURLSchemes() {
    std::vector<std::string> schemes;
    for (const auto& bundle : relevantBundles()) {
        const Value* types = bundle->objectForInfoDictionaryKey("CFBundleURLTypes");
        if (!types || !types->asArray()) continue;
        for (const Value& type : *types->asArray()) {
            const Array* list = type["CFBundleURLSchemes"].asArray();
            if (!list) continue;
            for (const Value& scheme : *list) {
                if (auto text = scheme.asString()) schemes.push_back(*text);
            }
        }
    }
    return schemes;
}

bool RZRBundleUtil::hasBundleIdentifierPrefix(const std::string& bundleIdentifier,
                                              const Bundles& bundles) {
    for (const auto& bundle : bundles) {
        if (!bundle) continue;
        const std::string identifier = bundle->bundleIdentifier();
        if (identifier == bundleIdentifier) return true;
        if (ZVUAppEnvironmentUtil::isAppExtension() &&
            bundleIdentifierByRemovingLastPartFrom(identifier) == bundleIdentifier) {
            return true;
        }
    }
    return false;
}

std::string RZRBundleUtil::bundleIdentifierByRemovingLastPartFrom(
    const std::string& bundleIdentifier) {
    const auto dot = bundleIdentifier.rfind('.');
    return dot == std::string::npos ? std::string() : bundleIdentifier.substr(0, dot);
}
