#include "app/ui/Theme.h"

#include "app/ui/NSColorHex.h"

const std::shared_ptr<NSColor>& Theme::grey() {
    static const auto color = colorFromHex("#7F8081");
    return color;
}

const std::shared_ptr<NSColor>& Theme::red() {
    static const auto color = colorFromHex("#B50E0E");
    return color;
}

const std::shared_ptr<NSColor>& Theme::shadow() {
    static const auto color = colorFromHex("#000000", 0.125f);
    return color;
}

const std::shared_ptr<NSColor>& Theme::lightGrey() {
    static const auto color = colorFromHex("#BEC4CD");
    return color;
}

std::shared_ptr<NSWindow>& onboardingWindow() {
    static auto* window = new std::shared_ptr<NSWindow>();
    return *window;
}

View primaryButtonStyle(const View& content) {
    return content.font(Font::system(Theme::buttonFontSize))
        .padding(Edge::leading, 16)
        .padding(Edge::trailing, 16)
        .frame(FlexibleFrame{.minWidth = 120})
        .padding(Edge::bottom, 8)
        .padding(Edge::top, 6)
        .buttonStyle(PlainButtonStyle())
        .foregroundColor(Color::white())
        .background(LinearGradient({Color::fromNSColor(NSColor::highlightColor()),
                                    Color::fromNSColor(NSColor::controlAccentColor())},
                                   UnitPoint{0.5, -1.0}, UnitPoint::bottom()))
        .cornerRadius(4, true);
}

View secondaryButtonStyle(const View& content) {
    return content.font(Font::system(Theme::buttonFontSize))
        .frame(FlexibleFrame{.minWidth = 120})
        .padding(Edge::bottom, 8)
        .padding(Edge::top, 6)
        .buttonStyle(PlainButtonStyle());
}

View footerBarStyle(const View& content) {
    return content.frame(onboardingWindowWidth, 32)
        .padding(Edge::bottom, 12)
        .padding(Edge::top, 12)
        .background(Color::fromNSColor(NSColor::windowBackgroundColor()));
}

View helpTextStyle(const View& text) {
    return text.font(Font::system(Theme::smallFontSize))
        .foregroundColor(Color::secondary())
        .multilineTextAlignment(TextAlignment::leading)
        .frame(Theme::controlWidth, 32, Alignment::topLeading())
        .fixedSize(false, true);
}

View smallTextStyle(const View& text) {
    return text.font(Font::system(Theme::smallFontSize));
}

View preferenceRow(const View& label, std::vector<View> controls, bool startsWithPicker) {
    View labelColumn = label.frame(Theme::labelWidth, std::nullopt, Alignment::trailing())
                           .padding(Edge::trailing, Theme::labelTrailingPadding);
    if (startsWithPicker) labelColumn = labelColumn.padding(Edge::top, 2);
    return HStack(VerticalAlignment::top, std::nullopt,
                  {labelColumn,
                   VStack(HorizontalAlignment::leading, std::nullopt, std::move(controls))})
        .padding(Edge::bottom, 8);
}

View FitToWidth::body(const View& content) const {
    double share = fraction;
    return GeometryReader([content, share](const GeometryProxy& geometry) {
        return content.font(Font::system(1000))
            .minimumScaleFactor(0.005)
            .lineLimit(1)
            .frame(geometry.size.width * share, std::nullopt);
    });
}

std::shared_ptr<NSView> VisualEffectBackground::makeNSView() const {
    auto view = std::make_shared<NSVisualEffectView>();
    view->setAutoresizingMask(NSViewWidthSizable | NSViewHeightSizable);
    return view;
}

void VisualEffectBackground::updateNSView(NSView& view) const {
    auto* effect = dynamic_cast<NSVisualEffectView*>(&view);
    if (!effect) return;
    effect->setMaterial(material);
    effect->setBlendingMode(blendingMode);
    effect->setEmphasized(isEmphasized);
}
