#include "app/ui/PreferenceSections.h"

#include "app/settings/AppSettings.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/ProductLinks.h"
#include "app/ui/Theme.h"

namespace {

using K = Defaults::Keys;

View learnMore(const std::string& path) {
    return smallTextStyle(Button("Learn more.", [path] { openLink(productPageURL(path)); }))
        .buttonStyle(LinkButtonStyle());
}

View pickerOption(const char* title, double spacing, std::int64_t tag) {
    return HStack(VerticalAlignment::center, spacing, {Text(title)}).tag(tag);
}

View iconOption(const char* mutedImage, const char* liveImage, const char* title,
                std::int64_t tag) {
    return HStack(VerticalAlignment::center, 4,
                  {Image(mutedImage)
                       .resizable()
                       .frame(FlexibleFrame{.maxHeight = 16})
                       .padding(Edge::trailing, -4),
                   Image(liveImage).resizable().frame(FlexibleFrame{.maxHeight = 16}), Text(title)})
        .tag(tag);
}

}  // namespace

// ---------------------------------------------------------------------------

PushToTalkView::PushToTalkView()
    : keyDoubleModifiers(K::keyDoubleModifiers()), pushToTalk(K::pushToTalk()) {}

std::vector<std::shared_ptr<ObservableObject>> PushToTalkView::observedObjects() const {
    return {keyDoubleModifiers.observable(), pushToTalk.observable()};
}

View PushToTalkView::body() const {
    const bool doubleTap = keyDoubleModifiers.wrappedValue();
    std::vector<View> options;
    if (doubleTap) {
        for (std::int64_t tag = 0; tag < 3; ++tag)
            options.push_back(pickerOption("Not available", 12, tag));
    } else {
        options = {pickerOption("Disabled", 12, 0), pickerOption("Hold to speak", 12, 1),
                   pickerOption("Hold to mute", 12, 2)};
    }
    View picker =
        Picker(Text("Push-to-talk settings"), pushToTalk.projectedValue(), std::move(options))
            .labelsHidden()
            .frame(Theme::controlWidth, std::nullopt)
            .disabled(doubleTap);

    const char* help = nullptr;
    if (doubleTap) {
        help = "Push-to-talk cannot be used with a double-tap shortcut.";
    } else {
        switch (pushToTalk.wrappedValue()) {
            case 0:
                help = "Press your keyboard shortcut to toggle your mic's mute settings.";
                break;
            case 1:
                help = "Hold your shortcut to speak. Your mic will be muted the rest of the time.";
                break;
            case 2:
                help = "Hold your shortcut to mute your mic. You'll be live the rest of the time.";
                break;
            default:
                break;
        }
    }
    std::vector<View> explanation;
    if (help) explanation.push_back(helpTextStyle(Text(help)));
    return preferenceRow(Text("Push-to-talk:"),
                         {picker,
                          VStack(HorizontalAlignment::center, std::nullopt, std::move(explanation))
                              .padding(Edge::top, -2)
                              .padding(Edge::bottom, -8),
                          learnMore("/help/push-to-talk")},
                         true);
}

// ---------------------------------------------------------------------------

MenuBarDisplayView::MenuBarDisplayView()
    : menubarIcon(K::menubarIcon()), rightClickShowsMenu(K::rightClickShowsMenu()) {}

std::vector<std::shared_ptr<ObservableObject>> MenuBarDisplayView::observedObjects() const {
    return {menubarIcon.observable(), rightClickShowsMenu.observable()};
}

View MenuBarDisplayView::body() const {
    View picker = Picker(Text("Menu bar icon"), menubarIcon.projectedValue(),
                         {iconOption("colorMic-off", "colorMic-on", "Colour", 1),
                          iconOption("monochromeMic-off", "monochromeMic-on", "Greyscale", 0)})
                      .labelsHidden()
                      .frame(Theme::controlWidth, std::nullopt);
    return preferenceRow(
        Text("Menu bar icon:"),
        {picker,
         VStack(HorizontalAlignment::leading, std::nullopt,
                {Toggle("Right click to show menu", rightClickShowsMenu.projectedValue())})},
        true);
}

// ---------------------------------------------------------------------------

NotificationsView::NotificationsView() : muteNotifications(K::muteNotifications()) {}

std::vector<std::shared_ptr<ObservableObject>> NotificationsView::observedObjects() const {
    return {muteNotifications.observable()};
}

View NotificationsView::body() const {
    return preferenceRow(
        Text("Notifications:"),
        {Toggle("Show notification on mute toggle", muteNotifications.projectedValue())}, false);
}

// ---------------------------------------------------------------------------

StartupView::StartupView(bool showUpdates)
    : checkForUpdates(K::SUEnableAutomaticChecks()),
      startOnLogin(K::startOnLogin()),
      showUpdates(showUpdates) {}

std::vector<std::shared_ptr<ObservableObject>> StartupView::observedObjects() const {
    return {checkForUpdates.observable(), startOnLogin.observable()};
}

View StartupView::body() const {
    std::vector<View> toggles{
        Toggle(localizedTemplate("StartupView.launchAtLogin", AppDelegate::sharedAppName()),
               startOnLogin.projectedValue())};
    if (showUpdates.wrappedValue())
        toggles.push_back(
            Toggle("Automatically check for updates", checkForUpdates.projectedValue()));
    return preferenceRow(Text("Startup:"), std::move(toggles), false);
}

// ---------------------------------------------------------------------------

PrivacyView::PrivacyView() : collectData(K::collectData()) {}

std::vector<std::shared_ptr<ObservableObject>> PrivacyView::observedObjects() const {
    return {collectData.observable()};
}

View PrivacyView::body() const {
    return preferenceRow(
        Text("Privacy:"),
        {Toggle("Send crash reports & statistics", collectData.projectedValue()),
         VStack(HorizontalAlignment::leading, std::nullopt,
                {helpTextStyle(
                     Text(localizedTemplate("PrivacyView.shareData", AppDelegate::sharedAppName())))
                     .padding(Edge::top, -2)
                     .padding(Edge::bottom, -8),
                 learnMore("/privacy")})},
        false);
}
