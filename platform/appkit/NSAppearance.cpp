#include "platform/appkit/NSAppearance.h"

#include "platform/appkit/NSApplication.h"

namespace {

bool isKnown(const NSAppearanceName& name) {
    return name == NSAppearanceNameAqua || name == NSAppearanceNameDarkAqua ||
           name == NSAppearanceNameVibrantLight || name == NSAppearanceNameVibrantDark;
}

bool isDark(const NSAppearanceName& name) {
    return name == NSAppearanceNameDarkAqua || name == NSAppearanceNameVibrantDark;
}

}  // namespace

std::shared_ptr<NSAppearance> NSAppearance::appearanceNamed(const NSAppearanceName& name) {
    if (!isKnown(name)) return nullptr;
    return std::make_shared<NSAppearance>(name);
}

std::shared_ptr<NSAppearance> NSAppearance::currentDrawingAppearance() {
    return NSApplication::sharedApplication()->effectiveAppearance();
}

std::optional<NSAppearanceName> NSAppearance::bestMatchFromAppearancesWithNames(
    const std::vector<NSAppearanceName>& names) const {
    for (const auto& n : names)
        if (n == name_) return n;
    for (const auto& n : names)
        if (isKnown(n) && isDark(n) == isDark(name_)) return n;
    return std::nullopt;
}

std::string NSAppearance::description() const {
    return "<NSAppearance " + name_ + ">";
}

bool NSAppearance::isEqual(const NSObject& other) const {
    auto* appearance = dynamic_cast<const NSAppearance*>(&other);
    return appearance && appearance->name_ == name_;
}
