#pragma once
// Appearances: the light and dark looks of the interface, by name.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

using NSAppearanceName = std::string;
inline constexpr const char* NSAppearanceNameAqua = "NSAppearanceNameAqua";
inline constexpr const char* NSAppearanceNameDarkAqua = "NSAppearanceNameDarkAqua";
inline constexpr const char* NSAppearanceNameVibrantLight = "NSAppearanceNameVibrantLight";
inline constexpr const char* NSAppearanceNameVibrantDark = "NSAppearanceNameVibrantDark";

class NSAppearance : public NSObject {
  public:
    // Null for a name that is none of the four above.
    static std::shared_ptr<NSAppearance> appearanceNamed(const NSAppearanceName& name);
    // The appearance views draw with now: the application's effective one.
    static std::shared_ptr<NSAppearance> currentDrawingAppearance();

    const NSAppearanceName& name() const { return name_; }
    // The given name that fits this appearance best: the name itself, else
    // the first one of the same lightness; none when nothing fits.
    std::optional<NSAppearanceName> bestMatchFromAppearancesWithNames(
        const std::vector<NSAppearanceName>& names) const;

    std::string className() const override { return "NSAppearance"; }
    std::string description() const override;
    bool isEqual(const NSObject& other) const override;

    explicit NSAppearance(NSAppearanceName name) : name_(std::move(name)) {}

  private:
    NSAppearanceName name_;
};
