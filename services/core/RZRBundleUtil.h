#pragma once
// Where the service configuration list and the application's identity are
// looked up: the main bundle and the bundle that holds this code (the same
// bundle in this program, listed twice as the platform does).

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bundle/NSBundle.h"

struct RZRBundleUtil {
    using Bundles = std::vector<std::shared_ptr<NSBundle>>;

    static Bundles relevantBundles();
    // The first bundle, in order, that has the resource.
    static std::optional<std::string> optionsDictionaryPathWithResourceName(
        const std::string& resourceName, const std::string& fileType, const Bundles& bundles);
    static std::vector<std::string> relevantURLSchemes();
    // True when a bundle's identifier equals `bundleIdentifier` (in an
    // extension also that identifier less its last part).
    static bool hasBundleIdentifierPrefix(const std::string& bundleIdentifier,
                                          const Bundles& bundles);
    // "a.b.c" gives "a.b".
    static std::string bundleIdentifierByRemovingLastPartFrom(const std::string& bundleIdentifier);
};
