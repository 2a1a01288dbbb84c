#include "app/ui/AppWindows.h"

#include "app/ui/AuxiliaryWindows.h"
#include "app/ui/MicStatusWindow.h"
#include "app/ui/Theme.h"

AppWindows::AppWindows(AppWindowActions actions)
    : statusWindow_(std::make_shared<MicStatusWindowController>(MicStatusWindowActions{
          std::move(actions.setMuted), std::move(actions.refreshStatusMenu)})),
      auxiliary_(std::make_shared<AuxiliaryWindows>()) {}

AppWindows::~AppWindows() = default;

void AppWindows::toggleMicStatusWindow() {
    statusWindow_->toggleMicStatusWindow();
}

void AppWindows::openPreferencesWindow() {
    auxiliary_->openPreferencesWindow();
}

void AppWindows::openAboutWindow() {
    auxiliary_->openAboutWindow();
}

void AppWindows::openOnboardingWindow(std::function<void()> finished) {
    auxiliary_->openOnboardingWindow(std::move(finished));
}

void AppWindows::closeAuxiliaryWindows() {
    auxiliary_->closeAuxiliaryWindows();
}

void AppWindows::startObservingScreenChanges() {
    statusWindow_->observeScreenParameterChanges();
    observingScreens_ = true;
}

bool AppWindows::isStatusWindowOpen() const {
    return statusWindow_->isStatusWindowOpen();
}

bool AppWindows::isPreferencesWindowOpen() const {
    return auxiliary_->isPreferencesWindowOpen();
}

bool AppWindows::isAboutWindowOpen() const {
    return auxiliary_->isAboutWindowOpen();
}

bool AppWindows::isOnboardingWindowOpen() const {
    return auxiliary_->isOnboardingWindowOpen();
}

std::shared_ptr<NSWindow> AppWindows::window(const std::string& name) const {
    if (name == "status") return statusWindow_->statusWindow();
    if (name == "preferences") return auxiliary_->preferencesWindow();
    if (name == "about") return auxiliary_->aboutWindow();
    if (name == "onboarding") return onboardingWindow();
    return nullptr;
}
