#include "app/ui/StatusItemController.h"

#include "app/mute/LocalizedText.h"
#include "app/settings/AppSettings.h"
#include "app/ui/MenuDelegate.h"
#include "app/ui/StatusImage.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSMenu.h"
#include "platform/appkit/NSStatusBar.h"
#include "platform/bundle/NSBundle.h"

namespace {

using K = Defaults::Keys;

std::string localized(const std::string& key, const std::string& comment,
                      const std::vector<std::string>& arguments = {}) {
    return fillPlaceholders(NSLocalizedString(key, comment), arguments);
}

std::shared_ptr<NSMenuItem> item(const std::string& title, SEL action,
                                 const std::string& keyEquivalent = "") {
    return std::make_shared<NSMenuItem>(title, action, keyEquivalent);
}

}  // namespace

StatusItemController::StatusItemController(std::string appName) : appName_(std::move(appName)) {}

StatusItemController::~StatusItemController() {
    if (appearanceObservation_) appearanceObservation_->invalidate();
}

void StatusItemController::setUp(const id& target, SEL action) {
    if (statusItem_) return;
    statusItem_ = NSStatusBar::systemStatusBar()->statusItemWithLength(NSSquareStatusItemLength);
    if (auto button = statusItem_->button()) {
        button->setImage(menuBarStatusImage());
        button->setTarget(target);
        button->setAction(action);
        button->sendActionOn(NSEventMaskLeftMouseUp | NSEventMaskRightMouseUp);
        button->setMenu(statusMenu_);
    }
    updateAccessibilityTitle();
    appearanceObservation_ = NSApplication::sharedApplication()->observeEffectiveAppearance(
        NSKeyValueObservingOptionInitial | NSKeyValueObservingOptionPrior |
            NSKeyValueObservingOptionOld | NSKeyValueObservingOptionNew,
        [this](NSApplication&, const NSKeyValueObservedChange&) { refreshMenu(); });
}

void StatusItemController::updateAccessibilityTitle() {
    auto button = statusItem_ ? statusItem_->button() : nullptr;
    if (!button) return;
    button->setAccessibilityTitle(Defaults::get(K::devicesMuted())
                                      ? localized("MuteState.MicOff", "Lumbrel: Mic Off")
                                      : localized("MuteState.MicOn", "Lumbrel: Mic On"));
}

void StatusItemController::refreshMenu() {
    if (!statusItem_) return;
    auto menu = std::make_shared<NSMenu>(appName_);
    menu->setAppearance(NSApplication::sharedApplication()->effectiveAppearance());
    menuDelegate_ = std::make_shared<MenuDelegate>(statusItem_);
    menu->setDelegate(menuDelegate_);
    statusMenu_ = menu;
    updateAccessibilityTitle();

    const bool muted = Defaults::get(K::devicesMuted());
    const bool onboarded = Defaults::get(K::hasCompletedOnboarding());
    const bool statusWindowShown = Defaults::get(K::showStatusWindow());

    menu->addItem(item(muted ? localized("Unmute", "Unmute") : localized("Mute", "Mute"),
                       "toggleMuteFromMenuWithSender:"));
    menu->addItem(NSMenuItem::separatorItem());
    menu->addItem(item(statusWindowShown
                           ? localized("Hide Status Window", "Hide Mic Status Window")
                           : localized("Show Status Window", "Show Mic Status Window"),
                       onboarded ? SEL("toggleMicStatusWindowWithSender:") : SEL()));
    menu->addItem(item(localized("Preferences", "Preferences"),
                       onboarded ? SEL("openPreferencesWindowWithSender:") : SEL(),
                       onboarded ? "," : ""));
    menu->addItem(NSMenuItem::separatorItem());
    menu->addItem(item(localized("about.AppName", "About Lumbrel", {appName_}),
                       "openAboutWindowWithSender:"));
    if (onboarded)
        menu->addItem(item(localized("Check for Updates", "Check for Updates"),
                           "checkForUpdatesWithSender:"));
    menu->addItem(item(localized("Help", "Help"), "openHelpWithSender:"));
    menu->addItem(NSMenuItem::separatorItem());
    menu->addItem(item(localized("Quit", "Quit Lumbrel", {appName_}), "quitWithSender:", "q"));
}

void StatusItemController::showMenu() {
    auto button = statusItem_ ? statusItem_->button() : nullptr;
    if (!button || !statusMenu_) return;
    statusMenu_->popUpMenuPositioningItem(nullptr, {-1, NSMaxY(button->bounds()) + 5}, button);
}

void StatusItemController::updateImage() {
    auto button = statusItem_ ? statusItem_->button() : nullptr;
    if (button) button->setImage(menuBarStatusImage());
}

std::int64_t StatusItemController::clickActionForCurrentEvent() {
    auto event = NSApplication::sharedApplication()->currentEvent();
    const bool right = event && ((event->type() == NSEventType::leftMouseUp &&
                                  (event->modifierFlags() & NSEventModifierFlagControl) != 0) ||
                                 event->type() == NSEventType::rightMouseUp);
    return Defaults::get(right ? K::rightClickAction() : K::leftClickAction());
}
