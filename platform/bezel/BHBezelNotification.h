#pragma once
// The bezel framework: a transient on-screen message with an image, shown
// for a given time. Headless here: every bezel is recorded for tests and the
// console, and stays "on screen" until its time runs out on the simulated
// clock or it is taken off.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/AppKit.h"

// How long a bezel stays: a number of seconds.
struct BezelTimeToLive {
    double seconds = 0;
    static BezelTimeToLive Seconds(double s) { return {s}; }
};

struct BezelParameters {
    static NSPoint defaultLocation();
    static NSSize defaultSize();
    static double defaultCornerRadius();
    static std::string defaultBackgroundTint();
    static std::string defaultMessageLabelFont();
    static std::string defaultMessageLabelColor();
};

// What the framework hands back for the bezel on screen.
class BezelDelegate {
  public:
    virtual ~BezelDelegate() = default;
    // Takes the bezel off the screen.
    virtual void dismiss() = 0;
};

class BHNotificationBezel {
  public:
    static std::shared_ptr<BezelDelegate> show(
        const std::string& messageText, const std::shared_ptr<NSImage>& icon, NSPoint location,
        NSSize size, BezelTimeToLive timeToLive, double fadeInAnimationDuration,
        double fadeOutAnimationDuration, double cornerRadius, const std::string& tint,
        const std::string& messageLabelFont, const std::string& messageLabelColor,
        std::function<void()> afterHideCallback);
};

namespace sim {

struct ShownBezel {
    std::string messageText;
    std::string iconName;  // empty without an image
    bool iconIsTemplate = false;
    double timeToLive = 0;
    double fadeIn = 0;
    double fadeOut = 0;
    bool dismissed = false;  // taken off the screen before its time
    double shownAt = 0;      // simulated clock, seconds
};

struct Bezels {
    static std::vector<ShownBezel> shown();
    // The bezel on screen now, if any: shown, not dismissed, time not out.
    static std::optional<ShownBezel> current();
    static void clear();
};

}  // namespace sim
