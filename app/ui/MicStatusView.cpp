#include "app/ui/MicStatusView.h"

#include <cctype>
#include <cmath>
#include <optional>

#include "app/mute/LocalizedText.h"
#include "app/settings/AppSettings.h"
#include "app/ui/Theme.h"

namespace {

using K = Defaults::Keys;

std::string upperCased(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

Color statusLightBackground() {
    if (auto named = NSColor::colorNamed("StatusLightBackground")) return Color::fromNSColor(named);
    return {"StatusLightBackground", 0.93, 0.94, 0.95, 1};
}

View boldText(const char* key, double size, const Color& color) {
    return Text(key).font(Font::system(size, FontWeight::bold)).foregroundColor(color);
}

}  // namespace

MicStatusView::MicStatusView()
    : devicesMuted(K::devicesMuted()),
      hasShownStatusWindowOnboardingText(K::hasShownStatusWindowOnboardingText()),
      keyCodeString(K::keyCodeString()),
      keyModifiersString(K::keyModifiersString()),
      keyEnabled(K::keyEnabled()),
      pushToTalk(K::pushToTalk()),
      statusWindowHelpTextAnimation(K::statusWindowHelpTextAnimation()) {}

std::vector<std::shared_ptr<ObservableObject>> MicStatusView::observedObjects() const {
    return {devicesMuted.observable(),
            hasShownStatusWindowOnboardingText.observable(),
            keyCodeString.observable(),
            keyModifiersString.observable(),
            keyEnabled.observable(),
            pushToTalk.observable(),
            statusWindowHelpTextAnimation.observable()};
}

View MicStatusView::body() const {
    MicStatusView self = *this;
    return GeometryReader([self](const GeometryProxy& geometry) {
        return self.content(geometry.size.width, geometry.size.height);
    });
}

View MicStatusView::content(double w, double h) const {
    const double rounded = std::round(h);
    const bool large = w >= 144 && h >= 64;
    const bool tall = h > 71;
    const bool muted = devicesMuted.wrappedValue();
    const Color stateColor = Color::fromNSColor(muted ? Theme::grey() : Theme::red());

    // The picture's label follows the stored state at drawing time.
    const bool storedMuted = Defaults::get(K::devicesMuted());
    std::string pictureLabel =
        fillPlaceholders(localizedText(storedMuted ? "MuteState.MicOff" : "MuteState.MicOn",
                                       storedMuted ? "MuteState.MicOff" : "MuteState.MicOn"),
                         {});
    View picture = Image(muted ? "status-window-mic-off" : "status-window-mic-on", "Mic icon")
                       .resizable()
                       .scaledToFit()
                       .accessibilityLabel(pictureLabel);
    std::vector<View> row;
    if (large) {
        row.push_back(picture.frame(w * 0.175, w * 0.175)
                          .padding(Edge::leading, tall ? w * 0.0345 : 0)
                          .padding(Edge::trailing, tall ? -(w * 0.00575) : -(w * 0.046)));
        FlexibleFrame labelFrame{.maxHeight = h * 0.15 + h * 0.005,
                                 .alignment = Alignment::leading()};
        if (tall)
            labelFrame.minWidth = w * 0.6;
        else
            labelFrame.maxWidth = w * 0.6;
        row.push_back(Text(upperCased(muted ? "Off Air" : "On Air"))
                          .font(Font::system(w * 0.125, FontWeight::heavy))
                          .tracking(w * 0.001)
                          .foregroundColor(stateColor)
                          .frame(labelFrame)
                          .padding(Edge::top, -0.5 * w / h)
                          .accessibilityHidden(true));
    } else {
        row.push_back(picture.frame(w * 0.35, w * 0.35));
    }
    View stateRow = HStack(VerticalAlignment::center, std::nullopt, std::move(row))
                        .padding(large ? 2 * w / h : 0)
                        .padding(Edge::vertical, large ? h * 0.03 : 0)
                        .background(muted ? statusLightBackground() : Color::white())
                        .border(stateColor, w * 0.01)
                        .shadow(stateColor, muted ? 0 : 0.1, 0, 0)
                        .padding(Edge::top, rounded > 71 && rounded < 104 ? h / 6 : 0)
                        .padding(Edge::top, rounded >= 104 ? h * 0.125 : 0);

    std::vector<View> stack{stateRow};
    if (rounded > 71) {
        const bool shown = hasShownStatusWindowOnboardingText.wrappedValue();
        View tip = Text("Tip: drag this window anywhere you like.")
                       .foregroundColor(Color::white())
                       .font(Font::system(w * 0.035, FontWeight::bold))
                       .modifier(FitToWidth(1.0))
                       .opacity(shown ? 0 : 1)
                       .animation(Animation::easeInOut(1), shown)
                       .accessibilityHidden(shown);

        View instruction;
        if (!keyEnabled.wrappedValue()) {
            instruction =
                boldText(muted ? "Click to unmute." : "Click to mute.", w * 0.045, Color::white());
        } else {
            const char* first = nullptr;
            const char* third = nullptr;
            double size = w * 0.045;
            switch (pushToTalk.wrappedValue()) {
                case 0:
                    first = "Click or press";
                    third = muted ? "to unmute." : "to mute.";
                    size = w * 0.04;
                    break;
                case 1:
                    first = muted ? "Hold" : "Release";
                    third = muted ? "to unmute." : "to mute.";
                    break;
                case 2:
                    first = muted ? "Release" : "Hold";
                    third = muted ? "to unmute." : "to mute.";
                    break;
                default:
                    break;
            }
            if (first) {
                std::string shortcut = fillPlaceholders(
                    localizedText("%@%@", "%@%@"),
                    {keyModifiersString.wrappedValue(), keyCodeString.wrappedValue()});
                instruction = HStack(VerticalAlignment::top, 4,
                                     {boldText(first, size, Color::white()),
                                      Text(shortcut)
                                          .font(Font::system(size, FontWeight::bold))
                                          .foregroundColor(Color::fromNSColor(Theme::lightGrey())),
                                      boldText(third, size, Color::white())});
            }
        }
        std::optional<Animation> animation;
        if (statusWindowHelpTextAnimation.wrappedValue()) animation = Animation::easeInOut(1);
        View instructionLayer = VStack(HorizontalAlignment::center, std::nullopt, {instruction})
                                    .opacity(shown ? 1 : 0)
                                    .animation(animation, shown)
                                    .accessibilityHidden(!shown)
                                    .frame(FlexibleFrame{.minHeight = h * 0.3})
                                    .clipped();
        stack.push_back(ZStack({tip, instructionLayer}));
    }

    return VStack(HorizontalAlignment::center, 0, std::move(stack))
        .contentShape()
        .clipped()
        .frame(FlexibleFrame{.minWidth = w, .minHeight = h})
        .background(Color::fromNSColor(NSColor::controlDarkShadowColor()))
        .background(VisualEffectBackground(NSVisualEffectMaterial::hudWindow,
                                           NSVisualEffectBlendingMode::behindWindow, true))
        .clipShape(16)
        .clipped()
        .accessibilityHint(
            "This floating window will toggle mute status. Activate it to toggle your mic's "
            "mute status.");
}
