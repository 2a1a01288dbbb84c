#pragma once
// The look shared by the application's windows: layout constants, colours,
// button and text styles, the preference row, a one-line text that fills a
// share of its width, and the blurred backdrop.

#include <memory>
#include <vector>

#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSWindow.h"
#include "platform/swiftui/View.h"

struct Theme {
    static constexpr double buttonFontSize = 14;
    static constexpr double controlWidth = 240;
    static constexpr double labelWidth = 152;
    static constexpr double labelTrailingPadding = 0;
    static constexpr double smallFontSize = 11;
    // Made once, on first use.
    static const std::shared_ptr<NSColor>& grey();       // #7F8081
    static const std::shared_ptr<NSColor>& red();        // #B50E0E
    static const std::shared_ptr<NSColor>& shadow();     // #000000 at alpha 0.125
    static const std::shared_ptr<NSColor>& lightGrey();  // #BEC4CD
};

inline constexpr double onboardingWindowWidth = 440;
inline constexpr double onboardingWindowHeight = 440;
// The one slot that owns the onboarding window once it is created.
std::shared_ptr<NSWindow>& onboardingWindow();

View primaryButtonStyle(const View& content);
View secondaryButtonStyle(const View& content);
View footerBarStyle(const View& content);
View helpTextStyle(const View& text);
View smallTextStyle(const View& text);

// A row of the preferences page: the label (ending in a colon) right-aligned
// in the label column, then the controls in a leading-aligned column. A row
// whose first control is a pop-up picker moves its label down 2 points to
// line up with the picker's text.
View preferenceRow(const View& label, std::vector<View> controls, bool startsWithPicker);

// A one-line text that shrinks (from 1000 points) to fill `fraction` of the
// width it is offered.
struct FitToWidth : ViewModifier {
    double fraction = 1;
    explicit FitToWidth(double fraction) : fraction(fraction) {}
    View body(const View& content) const override;
};

// The platform's blurred backdrop behind declarative content.
struct VisualEffectBackground : NSViewRepresentable {
    NSVisualEffectMaterial material = NSVisualEffectMaterial::hudWindow;
    NSVisualEffectBlendingMode blendingMode = NSVisualEffectBlendingMode::behindWindow;
    bool isEmphasized = false;
    VisualEffectBackground(NSVisualEffectMaterial material, NSVisualEffectBlendingMode blendingMode,
                           bool isEmphasized)
        : material(material), blendingMode(blendingMode), isEmphasized(isEmphasized) {}
    std::shared_ptr<NSView> makeNSView() const override;
    void updateNSView(NSView& view) const override;
};
