#pragma once
// Colours: red, green, blue and alpha components from 0 to 1, either given
// (colorWithRed:green:blue:alpha:) or one of the system's named colours,
// which keep their name and carry their light-appearance components.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

class NSColor : public NSObject {
  public:
    static std::shared_ptr<NSColor> colorWithRed(double red, double green, double blue,
                                                 double alpha);
    static std::shared_ptr<NSColor> colorWithWhite(double white, double alpha);
    // A colour of the main bundle's asset catalogue: the resource
    // "<name>.colorset/Contents.json" holds {"red", "green", "blue", "alpha"}
    // (numbers from 0 to 1, alpha 1 when missing). Null when there is none.
    static std::shared_ptr<NSColor> colorNamed(const std::string& name);

    static std::shared_ptr<NSColor> clearColor();
    static std::shared_ptr<NSColor> blackColor();
    static std::shared_ptr<NSColor> whiteColor();
    static std::shared_ptr<NSColor> grayColor();
    static std::shared_ptr<NSColor> redColor();
    static std::shared_ptr<NSColor> systemRedColor();
    static std::shared_ptr<NSColor> labelColor();
    static std::shared_ptr<NSColor> secondaryLabelColor();
    static std::shared_ptr<NSColor> linkColor();
    static std::shared_ptr<NSColor> controlColor();
    static std::shared_ptr<NSColor> controlAccentColor();
    static std::shared_ptr<NSColor> controlBackgroundColor();
    static std::shared_ptr<NSColor> controlShadowColor();
    static std::shared_ptr<NSColor> controlDarkShadowColor();
    static std::shared_ptr<NSColor> controlTextColor();
    static std::shared_ptr<NSColor> disabledControlTextColor();
    static std::shared_ptr<NSColor> textBackgroundColor();
    static std::shared_ptr<NSColor> windowBackgroundColor();
    static std::shared_ptr<NSColor> highlightColor();
    static std::shared_ptr<NSColor> selectedContentBackgroundColor();

    NSColor(std::optional<std::string> name, double red, double green, double blue, double alpha)
        : name_(std::move(name)), red_(red), green_(green), blue_(blue), alpha_(alpha) {}

    // The same colour with another alpha; a named colour keeps its name.
    std::shared_ptr<NSColor> colorWithAlphaComponent(double alpha) const;

    // The system colour's name ("controlAccentColor") or the asset's, else
    // none for a colour made from components.
    const std::optional<std::string>& name() const { return name_; }
    double redComponent() const { return red_; }
    double greenComponent() const { return green_; }
    double blueComponent() const { return blue_; }
    double alphaComponent() const { return alpha_; }

    std::string className() const override { return "NSColor"; }
    // Same name (or both unnamed) and same components.
    bool isEqual(const NSObject& other) const override;
    // "controlAccentColor", or "#B50E0E" with " alpha 0.125" when not opaque.
    std::string description() const override;

  private:
    std::optional<std::string> name_;
    double red_;
    double green_;
    double blue_;
    double alpha_;
};
