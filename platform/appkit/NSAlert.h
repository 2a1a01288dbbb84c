#pragma once
// Modal alerts. Headless: runModal records the alert and a responder set by
// tests decides which button closes it (default: the first).

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

enum class NSAlertStyle : unsigned long { warning = 0, informational = 1, critical = 2 };
using NSModalResponse = long;
inline constexpr NSModalResponse NSAlertFirstButtonReturn = 1000;
inline constexpr NSModalResponse NSAlertSecondButtonReturn = 1001;
inline constexpr NSModalResponse NSAlertThirdButtonReturn = 1002;

class NSAlert;

class NSAlertDelegate {
  public:
    virtual ~NSAlertDelegate() = default;
    // True when the delegate handled the help request.
    virtual bool alertShowHelp(NSAlert& alert) = 0;
};

class NSAlert : public NSObject {
  public:
    // The alert does not own its delegate.
    void setDelegate(const std::shared_ptr<NSAlertDelegate>& delegate) { delegate_ = delegate; }
    std::shared_ptr<NSAlertDelegate> delegate() const { return delegate_.lock(); }
    void setShowsHelp(bool shows) { showsHelp_ = shows; }
    bool showsHelp() const { return showsHelp_; }
    void setMessageText(std::string text) { messageText_ = std::move(text); }
    const std::string& messageText() const { return messageText_; }
    void setInformativeText(std::string text) { informativeText_ = std::move(text); }
    const std::string& informativeText() const { return informativeText_; }
    void addButtonWithTitle(std::string title) { buttons_.push_back(std::move(title)); }
    const std::vector<std::string>& buttons() const { return buttons_; }
    void setAlertStyle(NSAlertStyle style) { style_ = style; }
    NSAlertStyle alertStyle() const { return style_; }
    // Shows the alert until the person closes it (the simulator's responder
    // decides how); answers the button pressed.
    NSModalResponse runModal();
    std::string className() const override { return "NSAlert"; }

  private:
    std::weak_ptr<NSAlertDelegate> delegate_;
    bool showsHelp_ = false;
    std::string messageText_;
    std::string informativeText_;
    std::vector<std::string> buttons_;
    NSAlertStyle style_ = NSAlertStyle::warning;
};

namespace sim {

struct ShownAlert {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;
    NSAlertStyle style;
    bool showsHelp;
    bool hadDelegate;
};

// Alerts: each runModal is recorded; the responder closes it (default: the
// first button). A responder may press help first through the alert's
// delegate.
struct Alerts {
    static std::vector<ShownAlert> shown();
    static void clear();
    static void setResponder(std::function<NSModalResponse(NSAlert&)> responder);
    static void resetResponder();
};

}  // namespace sim
