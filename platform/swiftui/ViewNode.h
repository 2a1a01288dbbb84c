#pragma once
// The description behind a View value; private to the framework.

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/swiftui/View.h"

enum class NodeKind {
    empty,
    text,
    image,
    button,
    toggle,
    picker,
    spacer,
    divider,
    vstack,
    hstack,
    zstack,
    geometry,
    custom,
    representable,
    color,
    shape,
    gradient,
    modifier,
};

enum class ModifierKind {
    padding,
    frame,
    flexFrame,
    fixedSize,
    aspectRatio,
    resizable,
    font,
    fontWeight,
    foregroundColor,
    tracking,
    lineLimit,
    multilineTextAlignment,
    minimumScaleFactor,
    background,
    cornerRadius,
    clipped,
    clipShape,
    contentShape,
    shadow,
    border,
    opacity,
    hidden,
    animation,
    accessibilityLabel,
    accessibilityHint,
    accessibilityHidden,
    buttonStyle,
    toggleStyle,
    pickerStyle,
    labelsHidden,
    disabled,
    tag,
    help,
    custom,
    observing,
};

struct ViewNode {
    NodeKind kind = NodeKind::empty;
    std::string name;  // text, image name, type name, shape
    bool localized = false;
    std::vector<View> children;

    // Stacks.
    HorizontalAlignment horizontal = HorizontalAlignment::center;
    VerticalAlignment vertical = VerticalAlignment::center;
    Alignment alignment;
    std::optional<double> spacing;

    // Controls.
    std::function<void()> action;
    std::optional<Binding<bool>> isOn;
    std::optional<Binding<std::int64_t>> selection;

    std::function<View(const GeometryProxy&)> geometry;
    std::function<View()> body;
    std::function<std::vector<std::shared_ptr<ObservableObject>>()> observed;
    std::shared_ptr<const NSViewRepresentable> representable;
    std::optional<std::string> imageLabel;
    Color color;
    LinearGradientSpec gradient;
    double cornerRadius = 0;

    // Modifiers (kind modifier; the content is children[0], a background
    // children[1]).
    ModifierKind modifier = ModifierKind::padding;
    EdgeInsets insets;
    std::optional<double> width;
    std::optional<double> height;
    FlexibleFrame flex;
    bool flagA = false;            // fixedSize horizontal, antialiased, hidden, disabled
    bool flagB = false;            // fixedSize vertical
    std::optional<double> number;  // ratio, tracking, scale, opacity, radius
    std::optional<int> lines;
    ContentMode contentMode = ContentMode::fit;
    Font font;
    FontWeight weight = FontWeight::regular;
    TextAlignment textAlignment = TextAlignment::leading;
    double shadowX = 0;
    double shadowY = 0;
    std::optional<Animation> animation;
    std::string text;  // label, hint, style name, value of animation
    std::shared_ptr<const ButtonStyle> buttonStyle;
    std::shared_ptr<const ViewModifier> customModifier;
    std::vector<std::shared_ptr<ObservableObject>> objects;
    std::int64_t tag = 0;
};
