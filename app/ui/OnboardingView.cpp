#include "app/ui/OnboardingView.h"

#include <algorithm>
#include <utility>

#include "app/settings/AppSettings.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/ProductLinks.h"
#include "app/ui/StatusImage.h"
#include "app/ui/Theme.h"

namespace {

using K = Defaults::Keys;

const std::pair<const char*, const char*> modifierWords[] = {
    {"⌃", "Control"}, {"⌥", "Option"}, {"⇧", "Shift"}, {"⌘", "Command"}};

View localizedAppText(const char* key) {
    return Text(localizedTemplate(key, AppDelegate::sharedAppName()));
}

View page(const View& content, std::vector<View> buttons) {
    return VStack(
        HorizontalAlignment::center, std::nullopt,
        {content.frame(FlexibleFrame{.maxWidth = infinity, .maxHeight = infinity}),
         footerBarStyle(HStack(VerticalAlignment::bottom, std::nullopt, std::move(buttons)))});
}

}  // namespace

std::string expandedShortcutDescription() {
    std::string modifiers = Defaults::get(K::keyModifiersString());
    if (Defaults::get(K::keyDoubleModifiers())) {
        for (const auto& [symbol, word] : modifierWords) {
            const std::string s(symbol);
            for (auto at = modifiers.find(s); at != std::string::npos; at = modifiers.find(s))
                modifiers.replace(at, s.size(), word);
        }
        return modifiers;
    }
    // Each symbol in the order it is stored, then the key.
    std::vector<std::pair<std::size_t, const char*>> found;
    for (const auto& [symbol, word] : modifierWords)
        if (auto at = modifiers.find(symbol); at != std::string::npos) found.emplace_back(at, word);
    std::sort(found.begin(), found.end());
    std::string text;
    for (const auto& entry : found) text += std::string(entry.second) + " + ";
    return text + Defaults::get(K::keyCodeString());
}

OnboardingView::OnboardingView()
    : devicesMuted(K::devicesMuted()),
      keyCodeString(K::keyCodeString()),
      keyEnabled(K::keyEnabled()),
      keyModifiersString(K::keyModifiersString()),
      startOnLogin(K::startOnLogin()),
      menubarIcon_(K::menubarIcon()),
      keyDoubleModifiers_(K::keyDoubleModifiers()) {}

std::vector<std::shared_ptr<ObservableObject>> OnboardingView::observedObjects() const {
    return {devicesMuted.observable(),       keyCodeString.observable(), keyEnabled.observable(),
            keyModifiersString.observable(), startOnLogin.observable(),  menubarIcon_.observable(),
            keyDoubleModifiers_.observable()};
}

void OnboardingView::advanceStep() const {
    onboardingStep.setWrappedValue(onboardingStep.wrappedValue() + 1);
}

View OnboardingView::body() const {
    View current;
    switch (onboardingStep.wrappedValue()) {
        case 1:
            current = welcomePage();
            break;
        case 2:
            current = permissionPage();
            break;
        case 3:
            current = shortcutPage();
            break;
        case 4:
            current = finishPage();
            break;
        default:
            break;
    }
    return VStack(HorizontalAlignment::center, std::nullopt, {current})
        .frame(FlexibleFrame{.maxWidth = infinity, .maxHeight = infinity})
        .background(Color::fromNSColor(NSColor::controlBackgroundColor()));
}

View OnboardingView::welcomePage() const {
    OnboardingView self = *this;
    View logo = HStack(VerticalAlignment::top, std::nullopt,
                       {Image("AppIcon", AppDelegate::sharedAppName())
                            .resizable()
                            .shadow(Color::fromNSColor(Theme::shadow()), 6, 0, 6)
                            .scaledToFit()
                            .frame(FlexibleFrame{.maxWidth = logoWidth, .maxHeight = logoHeight})})
                    .padding(Edge::top, 24);
    View titles = VStack(HorizontalAlignment::center, std::nullopt,
                         {localizedAppText("onboarding.welcome")
                              .font(Font::largeTitle())
                              .bold()
                              .padding(Edge::bottom, 8),
                          localizedAppText("onboarding.aboutApp").font(Font::title2())});
    View explanation = VStack(HorizontalAlignment::leading, std::nullopt,
                              {localizedAppText("onboarding.firstPage").font(Font::body())})
                           .frame(FlexibleFrame{.maxWidth = 400, .maxHeight = infinity});
    return page(VStack(HorizontalAlignment::center, std::nullopt, {logo, titles, explanation}),
                {primaryButtonStyle(Button("Continue", [self] { self.advanceStep(); }))});
}

View OnboardingView::permissionPage() const {
    OnboardingView self = *this;
    View content =
        VStack(HorizontalAlignment::center, std::nullopt,
               {Image("Onboarding-1").resizable().scaledToFit().frame(std::nullopt, 260),
                VStack(HorizontalAlignment::leading, std::nullopt,
                       {Text("authorise.prompt").font(Font::body()),
                        Button("Learn more.", [] { openLink(productPageURL("/help/permissions")); })
                            .buttonStyle(LinkButtonStyle())
                            .multilineTextAlignment(TextAlignment::leading)})
                    .frame(FlexibleFrame{.maxWidth = 400, .maxHeight = infinity})});
    return page(content, {primaryButtonStyle(Button("Continue", [self] { self.advanceStep(); }))});
}

View OnboardingView::shortcutPage() const {
    OnboardingView self = *this;
    const bool muted = devicesMuted.wrappedValue();
    const std::string& appName = AppDelegate::sharedAppName();
    std::vector<View> content{
        HStack(VerticalAlignment::top, 4,
               {Text("Your microphone is").font(Font::body()),
                Text(muted ? "muted." : "active.").font(Font::body()).bold()})
            .padding(Edge::top, 24),
        Image(statusImageName(IconType::large, 0, true), "Mic icon")
            .resizable()
            .scaledToFit()
            .frame(FlexibleFrame{.maxWidth = indicatorWidth, .maxHeight = indicatorHeight})
            .accessibilityLabel(appName)};
    if (keyEnabled.wrappedValue()) {
        const Font title = Font::title().bold();
        content.push_back(
            HStack(VerticalAlignment::top, 8,
                   {Text("Press").font(title),
                    Text(keyModifiersString.wrappedValue() + keyCodeString.wrappedValue())
                        .font(title)
                        .foregroundColor(Color::accentColor()),
                    Text(muted ? "to unmute." : "to mute.").font(title)}));
        content.push_back(
            Text(localizedTemplate("onboarding.expandedShortcut", expandedShortcutDescription()))
                .padding(Edge::top, 8)
                .font(Font::title2())
                .foregroundColor(Color::accentColor()));
    } else {
        content.push_back(Text("No shortcut assigned").font(Font::body()).bold());
    }
    content.push_back(Text("onboarding.preferences")
                          .font(Font::body())
                          .padding(Edge::bottom, 24)
                          .padding(Edge::top, 24));
    return page(VStack(HorizontalAlignment::center, std::nullopt, std::move(content)),
                {primaryButtonStyle(Button("Continue", [self] { self.advanceStep(); }))});
}

View OnboardingView::finishPage() const {
    View text = VStack(HorizontalAlignment::center, std::nullopt,
                       {HStack(VerticalAlignment::top, 4,
                               {Text("You're all set!")
                                    .font(Font::largeTitle())
                                    .bold()
                                    .padding(Edge::top, 24)
                                    .padding(Edge::bottom, 24)}),
                        VStack(HorizontalAlignment::leading, std::nullopt,
                               {localizedAppText("onboarding.oneLastThing")
                                    .multilineTextAlignment(TextAlignment::leading)
                                    .padding(Edge::bottom, 8),
                                Text("onboarding.analyticsExplainer")
                                    .multilineTextAlignment(TextAlignment::leading)
                                    .padding(Edge::bottom, 8),
                                Button("Read our privacy policy.",
                                       [] { openLink(productPageURL("/privacy")); })
                                    .buttonStyle(LinkButtonStyle())})})
                    .frame(FlexibleFrame{.maxWidth = 400, .maxHeight = infinity});
    View launchAtLogin =
        HStack(VerticalAlignment::bottom, std::nullopt,
               {Toggle(localizedTemplate("StartupView.launchAtLogin", AppDelegate::sharedAppName()),
                       startOnLogin.projectedValue())})
            .padding(Edge::bottom, 16);
    return page(VStack(HorizontalAlignment::center, std::nullopt, {text, launchAtLogin}),
                {secondaryButtonStyle(Button(
                     "Don't Share", [] { Defaults::set(K::hasCompletedOnboarding(), true); })),
                 primaryButtonStyle(Button("Share & Continue", [] {
                     Defaults::set(K::collectData(), true);
                     Defaults::set(K::hasCompletedOnboarding(), true);
                 }))});
}
