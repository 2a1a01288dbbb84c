#include "app/ui/Theme.h"

#include <gtest/gtest.h>

#include "platform/swiftui/NSHostingView.h"

namespace {

std::shared_ptr<NSHostingView> host(const View& view, NSSize size) {
    auto h = std::make_shared<NSHostingView>(view);
    h->setFrame({{0, 0}, size});
    return h;
}

// The nearest ancestor of `node` (or the node itself) of a kind.
RenderNode* up(RenderNode* node, const std::string& kind) {
    for (auto* n = node; n; n = n->parent())
        if (n->kind() == kind) return n;
    return nullptr;
}

}  // namespace

TEST(Theme, ConstantsAndColours) {
    EXPECT_EQ(Theme::buttonFontSize, 14);
    EXPECT_EQ(Theme::controlWidth, 240);
    EXPECT_EQ(Theme::labelWidth, 152);
    EXPECT_EQ(Theme::labelTrailingPadding, 0);
    EXPECT_EQ(Theme::smallFontSize, 11);
    EXPECT_EQ(onboardingWindowWidth, 440);
    EXPECT_EQ(onboardingWindowHeight, 440);
    EXPECT_EQ(Theme::red()->description(), "#B50E0E");
    EXPECT_EQ(Theme::grey()->description(), "#7F8081");
    EXPECT_EQ(Theme::lightGrey()->description(), "#BEC4CD");
    EXPECT_EQ(Theme::shadow()->description(), "#000000 alpha 0.125");
    EXPECT_EQ(Theme::red(), Theme::red());  // made once
    EXPECT_EQ(onboardingWindow(), nullptr);
}

TEST(Theme, HelpTextSitsTopLeftInA240By32AreaInTheSecondaryColour) {
    auto h = host(helpTextStyle(Text(std::string("Short help."))), {400, 100});
    auto* text = h->find("Short help.");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->font(), Font::system(11));
    EXPECT_EQ(text->foregroundColor(), Color::secondary());
    EXPECT_EQ(text->multilineTextAlignment(), TextAlignment::leading);
    auto* frame = up(text, "frame");
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->frame().size, (NSSize{240, 32}));
    EXPECT_EQ(text->frame().origin, frame->frame().origin);
    EXPECT_EQ(text->lineCount(), 1);
}

TEST(Theme, ButtonStylesAndFooterBar) {
    auto primary = host(primaryButtonStyle(Button("Continue", [] {})), {440, 100});
    auto* button = primary->find("Continue");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->buttonStyle(), "plain");
    auto* text = button->find([](const RenderNode& n) { return n.kind() == "Text"; });
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->font(), Font::system(14));
    EXPECT_EQ(text->foregroundColor(), Color::white());
    // "Continue": 8 × 14 × 0.6 = 67.2 wide, padded 16 on each side, at
    // least 120, then 6 above and 8 below; rounded corners of 4 on top.
    auto* rounded = primary->root();
    EXPECT_EQ(rounded->kind(), "cornerRadius");
    EXPECT_EQ(rounded->number(), 4);
    EXPECT_EQ(rounded->frame().size, (NSSize{120, 14 * 1.2 + 14}));
    auto* gradient =
        rounded->find([](const RenderNode& n) { return n.kind() == "LinearGradient"; });
    ASSERT_NE(gradient, nullptr);
    EXPECT_EQ(gradient->gradient().startPoint, (UnitPoint{0.5, -1}));
    EXPECT_EQ(gradient->gradient().endPoint, UnitPoint::bottom());
    EXPECT_EQ(gradient->gradient().colors.at(1).name, "controlAccentColor");
    EXPECT_EQ(gradient->frame(), rounded->frame());

    auto secondary = host(secondaryButtonStyle(Button("Don't Share", [] {})), {440, 100});
    auto* plain = secondary->find("Don't Share");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->buttonStyle(), "plain");
    EXPECT_FALSE(plain->find([](const RenderNode& n) { return n.kind() == "Text"; })
                     ->foregroundColor()
                     .has_value());

    auto footer = host(footerBarStyle(HStack({Text("Continue")})), {440, 100});
    EXPECT_EQ(footer->root()->kind(), "background");
    EXPECT_EQ(footer->root()->frame().size, (NSSize{440, 56}));
    EXPECT_EQ(footer->root()->children().at(1)->color()->name, "windowBackgroundColor");
}

TEST(Theme, PreferenceRowLinesUpLabelsAndControls) {
    bool on = false;
    Binding<bool> binding([&] { return on; }, [&](const bool& v) { on = v; });
    auto plain = host(preferenceRow(Text("Startup:"), {Toggle("Launch at login", binding)}, false),
                      {460, 100});
    auto withPicker =
        host(preferenceRow(Text("Push-to-talk:"),
                           {Picker("Mode", Binding<int>([] { return 0; }, [](const int&) {}),
                                   {Text("Disabled").tag(0)})
                                .labelsHidden()
                                .frame(Theme::controlWidth, std::nullopt)},
                           true),
             {460, 100});
    for (auto* h : {plain.get(), withPicker.get()}) {
        auto* row = h->root();
        EXPECT_EQ(row->kind(), "padding");
        EXPECT_EQ(row->padding(), (EdgeInsets{0, 0, 8, 0}));
    }
    auto* label = plain->find("Startup:");
    auto* toggle = plain->find("Launch at login");
    ASSERT_TRUE(label && toggle);
    auto* labelFrame = up(label, "frame");
    EXPECT_EQ(labelFrame->frame().size.width, 152);
    EXPECT_EQ(labelFrame->alignment(), Alignment::trailing());
    // The text ends at the column's right edge; the control column starts
    // after the default spacing.
    EXPECT_DOUBLE_EQ(NSMaxX(label->frame()), NSMaxX(labelFrame->frame()));
    EXPECT_DOUBLE_EQ(NSMinX(toggle->frame()), NSMaxX(labelFrame->frame()) + 8);
    EXPECT_EQ(up(label, "padding")->padding(), (EdgeInsets{0, 0, 0, 0}));

    auto* pickerLabel = withPicker->find("Push-to-talk:");
    auto* picker = withPicker->find("Mode");
    ASSERT_TRUE(pickerLabel && picker);
    EXPECT_DOUBLE_EQ(pickerLabel->frame().origin.y, picker->frame().origin.y + 2);
    EXPECT_EQ(picker->frame().size.width, 240);
}

TEST(Theme, FitToWidthFillsItsShareOfTheWidthOnOneLine) {
    for (double fraction : {1.0, 0.5}) {
        SCOPED_TRACE(fraction);
        auto h = host(Text(std::string("Tip: drag this window")).modifier(FitToWidth(fraction)),
                      {200, 60});
        auto* text = h->find("Tip: drag this window");
        ASSERT_NE(text, nullptr);
        auto* frame = up(text, "frame");
        EXPECT_DOUBLE_EQ(frame->frame().size.width, 200 * fraction);
        EXPECT_EQ(text->lineCount(), 1);
        EXPECT_EQ(text->font().size, 1000);
        EXPECT_DOUBLE_EQ(text->textScale(), 200 * fraction / (21 * 600.0));
        EXPECT_DOUBLE_EQ(text->frame().size.width, 200 * fraction);
    }
}

TEST(Theme, VisualEffectBackgroundFollowsItsFieldsAtEveryUpdate) {
    struct Backdrop {
        std::shared_ptr<State<bool>> emphasized;
        View body() const {
            bool on = emphasized->wrappedValue();
            return Text("Hello").background(View(VisualEffectBackground(
                on ? NSVisualEffectMaterial::hudWindow : NSVisualEffectMaterial::popover,
                on ? NSVisualEffectBlendingMode::behindWindow
                   : NSVisualEffectBlendingMode::withinWindow,
                on)));
        }
    };
    auto state = std::make_shared<State<bool>>(false);
    auto h = host(Backdrop{state}, {200, 100});
    ASSERT_EQ(h->subviews().size(), 1u);
    auto effect = std::dynamic_pointer_cast<NSVisualEffectView>(h->subviews()[0]);
    ASSERT_NE(effect, nullptr);
    EXPECT_EQ(effect->autoresizingMask(), 18u);
    EXPECT_EQ(effect->material(), NSVisualEffectMaterial::popover);
    EXPECT_FALSE(effect->isEmphasized());
    state->setWrappedValue(true);
    h->update();
    ASSERT_EQ(h->subviews().size(), 1u);
    EXPECT_EQ(h->subviews()[0], effect);  // the same native view, updated
    EXPECT_EQ(effect->material(), NSVisualEffectMaterial::hudWindow);
    EXPECT_EQ(effect->blendingMode(), NSVisualEffectBlendingMode::behindWindow);
    EXPECT_TRUE(effect->isEmphasized());
}
