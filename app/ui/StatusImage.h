#pragma once
// The images that show the microphones' state: in the menu bar, large (for
// the onboarding pages) and in the bezel. "-on" is the live microphone,
// "-off" the muted one.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class NSImage;

enum class IconType : std::int64_t { large = 0, menuBar = 1, bezel = 2 };

// The image name for the stored devicesMuted; the style is the stored
// menubarIcon when useStyleSetting, else `style` (0 monochrome, else colour).
std::string statusImageName(IconType type, std::int64_t style, bool useStyleSetting);

// That image from the bundle, its template flag set to `isTemplate` when
// given, else to whether the stored icon is not the colour one. Null when the
// bundle lacks the image.
std::shared_ptr<NSImage> statusImage(IconType type, std::int64_t style, bool useStyleSetting,
                                     std::optional<bool> isTemplate = std::nullopt);

// The menu-bar image in the stored style, as the status button shows it.
std::shared_ptr<NSImage> menuBarStatusImage();
