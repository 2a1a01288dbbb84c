#include "platform/appkit/NSColor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/bundle/NSBundle.h"

namespace {

std::shared_ptr<NSColor> named(const char* name, double r, double g, double b, double a = 1) {
    return std::make_shared<NSColor>(std::string(name), r, g, b, a);
}

int byte(double component) {
    return static_cast<int>(std::lround(std::clamp(component, 0.0, 1.0) * 255));
}

}  // namespace

std::shared_ptr<NSColor> NSColor::colorWithRed(double red, double green, double blue,
                                               double alpha) {
    return std::make_shared<NSColor>(std::nullopt, red, green, blue, alpha);
}

std::shared_ptr<NSColor> NSColor::colorWithWhite(double white, double alpha) {
    return colorWithRed(white, white, white, alpha);
}

std::shared_ptr<NSColor> NSColor::colorNamed(const std::string& name) {
    auto bundle = NSBundle::mainBundle();
    if (!bundle || name.empty()) return nullptr;
    auto path = bundle->pathForResource("Contents", "json", name + ".colorset");
    if (!path) return nullptr;
    std::ifstream in(*path);
    auto json = nlohmann::json::parse(in, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return nullptr;
    auto component = [&](const char* key, double fallback) {
        auto it = json.find(key);
        return it != json.end() && it->is_number() ? it->get<double>() : fallback;
    };
    return std::make_shared<NSColor>(name, component("red", 0), component("green", 0),
                                     component("blue", 0), component("alpha", 1));
}

std::shared_ptr<NSColor> NSColor::clearColor() {
    return named("clearColor", 0, 0, 0, 0);
}
std::shared_ptr<NSColor> NSColor::blackColor() {
    return named("blackColor", 0, 0, 0);
}
std::shared_ptr<NSColor> NSColor::whiteColor() {
    return named("whiteColor", 1, 1, 1);
}
std::shared_ptr<NSColor> NSColor::grayColor() {
    return named("grayColor", 0.5, 0.5, 0.5);
}
std::shared_ptr<NSColor> NSColor::redColor() {
    return named("redColor", 1, 0, 0);
}
std::shared_ptr<NSColor> NSColor::systemRedColor() {
    return named("systemRedColor", 1, 0.231, 0.188);
}
std::shared_ptr<NSColor> NSColor::labelColor() {
    return named("labelColor", 0, 0, 0, 0.85);
}
std::shared_ptr<NSColor> NSColor::secondaryLabelColor() {
    return named("secondaryLabelColor", 0, 0, 0, 0.5);
}
std::shared_ptr<NSColor> NSColor::linkColor() {
    return named("linkColor", 0, 0.408, 0.855);
}
std::shared_ptr<NSColor> NSColor::controlColor() {
    return named("controlColor", 1, 1, 1);
}
std::shared_ptr<NSColor> NSColor::controlAccentColor() {
    return named("controlAccentColor", 0, 0.478, 1);
}
std::shared_ptr<NSColor> NSColor::controlBackgroundColor() {
    return named("controlBackgroundColor", 1, 1, 1);
}
std::shared_ptr<NSColor> NSColor::controlShadowColor() {
    return named("controlShadowColor", 0.5, 0.5, 0.5);
}
std::shared_ptr<NSColor> NSColor::controlDarkShadowColor() {
    return named("controlDarkShadowColor", 0, 0, 0);
}
std::shared_ptr<NSColor> NSColor::controlTextColor() {
    return named("controlTextColor", 0, 0, 0, 0.85);
}
std::shared_ptr<NSColor> NSColor::disabledControlTextColor() {
    return named("disabledControlTextColor", 0, 0, 0, 0.25);
}
std::shared_ptr<NSColor> NSColor::textBackgroundColor() {
    return named("textBackgroundColor", 1, 1, 1);
}
std::shared_ptr<NSColor> NSColor::windowBackgroundColor() {
    return named("windowBackgroundColor", 0.925, 0.925, 0.925);
}
std::shared_ptr<NSColor> NSColor::highlightColor() {
    return named("highlightColor", 1, 1, 1);
}
std::shared_ptr<NSColor> NSColor::selectedContentBackgroundColor() {
    return named("selectedContentBackgroundColor", 0, 0.392, 0.882);
}

std::shared_ptr<NSColor> NSColor::colorWithAlphaComponent(double alpha) const {
    return std::make_shared<NSColor>(name_, red_, green_, blue_, alpha);
}

bool NSColor::isEqual(const NSObject& other) const {
    const auto* color = dynamic_cast<const NSColor*>(&other);
    return color && color->name_ == name_ && color->red_ == red_ && color->green_ == green_ &&
           color->blue_ == blue_ && color->alpha_ == alpha_;
}

std::string NSColor::description() const {
    std::string text;
    if (name_) {
        text = *name_;
    } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "#%02X%02X%02X", byte(red_), byte(green_), byte(blue_));
        text = hex;
    }
    if (alpha_ != 1) {
        char alpha[32];
        std::snprintf(alpha, sizeof alpha, " alpha %g", alpha_);
        text += alpha;
    }
    return text;
}
