#include "app/ui/StatusImage.h"

#include "app/settings/AppSettings.h"
#include "platform/appkit/NSImage.h"

std::string statusImageName(IconType type, std::int64_t style, bool useStyleSetting) {
    const std::string state = Defaults::get(Defaults::Keys::devicesMuted()) ? "off" : "on";
    if (useStyleSetting) style = Defaults::get(Defaults::Keys::menubarIcon());
    std::string base = style == 0 ? "monochromeMic" : "colorMic";
    if (type == IconType::bezel) base = "notification";
    const std::string suffix = type == IconType::large ? "-large" : "";
    return base + "-" + state + suffix;
}

std::shared_ptr<NSImage> statusImage(IconType type, std::int64_t style, bool useStyleSetting,
                                     std::optional<bool> isTemplate) {
    auto image = NSImage::imageNamed(statusImageName(type, style, useStyleSetting));
    if (!image) return nullptr;
    image->setTemplate(isTemplate.value_or(Defaults::get(Defaults::Keys::menubarIcon()) != 1));
    return image;
}

std::shared_ptr<NSImage> menuBarStatusImage() {
    return statusImage(IconType::menuBar, 0, true);
}
