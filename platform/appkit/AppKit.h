#pragma once
// The headless application framework, as far as the application calls it:
// the application object and its delegate, screens, modal alerts, the
// workspace and named images. Everything here is used on the main thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

struct NSPoint {
    double x = 0;
    double y = 0;
    bool operator==(const NSPoint&) const = default;
};
struct NSSize {
    double width = 0;
    double height = 0;
    bool operator==(const NSSize&) const = default;
};
struct NSRect {
    NSPoint origin;
    NSSize size;
    bool operator==(const NSRect&) const = default;
};

// ---- application ------------------------------------------------------------

class NSApplication : public NSObject {
  public:
    static std::shared_ptr<NSApplication> sharedApplication();
    std::shared_ptr<NSObject> delegate() const { return delegate_; }
    void setDelegate(std::shared_ptr<NSObject> delegate) { delegate_ = std::move(delegate); }
    std::string className() const override { return "NSApplication"; }

  private:
    std::shared_ptr<NSObject> delegate_;
};

// ---- screens ----------------------------------------------------------------

inline constexpr const char* NSApplicationDidChangeScreenParametersNotification =
    "NSApplicationDidChangeScreenParametersNotification";

class NSScreen : public NSObject {
  public:
    NSScreen(std::string localizedName, NSRect frame)
        : localizedName_(std::move(localizedName)), frame_(frame) {}
    static std::vector<std::shared_ptr<NSScreen>> screens();
    static std::shared_ptr<NSScreen> mainScreen();  // the first screen, if any
    const std::string& localizedName() const { return localizedName_; }
    NSRect frame() const { return frame_; }
    NSRect visibleFrame() const { return frame_; }
    std::string className() const override { return "NSScreen"; }

  private:
    std::string localizedName_;
    NSRect frame_;
};

// ---- alerts -----------------------------------------------------------------

enum class NSAlertStyle : unsigned long { warning = 0, informational = 1, critical = 2 };
using NSModalResponse = long;
inline constexpr NSModalResponse NSAlertFirstButtonReturn = 1000;

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

// ---- workspace ----------------------------------------------------------------

class NSWorkspace : public NSObject {
  public:
    static std::shared_ptr<NSWorkspace> sharedWorkspace();
    bool openURL(const std::string& url);
    bool launchApplication(const std::string& appName);
    std::string className() const override { return "NSWorkspace"; }
};

// ---- images -------------------------------------------------------------------

class NSImage : public NSObject {
  public:
    // The main bundle's image resource of that name (png, pdf or tiff), or
    // nullptr when there is none.
    static std::shared_ptr<NSImage> imageNamed(const std::string& name);
    explicit NSImage(std::string name) : name_(std::move(name)) {}
    const std::string& name() const { return name_; }
    bool isTemplate() const { return template_; }
    void setTemplate(bool isTemplate) { template_ = isTemplate; }
    std::string className() const override { return "NSImage"; }

  private:
    std::string name_;
    bool template_ = false;
};

namespace sim {

// Screens: by default one built-in display. Setting them posts the
// screen-parameters notification on the default centre.
struct Screens {
    static void set(const std::vector<std::pair<std::string, NSRect>>& screens);
    static void reset();
};

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

struct Workspace {
    static std::vector<std::string> openedURLs();
    static std::vector<std::string> launchedApplications();
    static void failNextLaunch();
    static void clear();
};

}  // namespace sim
