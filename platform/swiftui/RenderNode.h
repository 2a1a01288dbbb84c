#pragma once
// The evaluated, laid-out view tree that a host keeps. Frames are in the
// host's coordinates with the origin at the top left (y grows downwards).
// Node pointers stay valid until the host's next update.
//
// Layout rules (deterministic, in points):
//  * Text: each character is 0.6 × the font size wide (plus its tracking),
//    a line is 1.2 × the font size high. Narrower than its ideal width, a
//    text wraps onto more lines up to its line limit; with a line limit of 1
//    it first shrinks down to its minimum scale factor.
//  * Stacks: the children's sizes plus the spacing between them (8 by
//    default), the least flexible child sized first; Spacer takes the
//    remaining room (at least 8), Divider is 1 point thick.
//  * padding adds its insets; frame(width:height:) sets the size; a
//    flexible frame takes the offered size clamped to its bounds (an unset
//    bound falls back to the content's size); shapes, colours, gradients,
//    resizable images and geometry readers take the whole offer.
//  * Images are 32 × 32 unless sim::ViewImages sets a size; a button's
//    default style adds 8 points on the sides and 3 above and below; a
//    check box is 14 points plus 6 before its label; a pop-up picker is 22
//    points high and takes the offered width (ideal: its widest option plus
//    28).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/Geometry.h"
#include "platform/swiftui/View.h"

struct ViewNode;
class NSHostingView;

struct PickerOption {
    std::int64_t tag;
    std::string title;
};

class RenderNode {
  public:
    // "VStack", "Text", "Button", "padding", "frame", "opacity", a custom
    // view's type name, ...
    const std::string& kind() const { return kind_; }
    // Text: its shown string; Image: its name; Button, Toggle, Picker: the
    // texts of their label; custom modifiers: their type.
    const std::string& text() const { return text_; }
    NSRect frame() const { return frame_; }
    RenderNode* parent() const { return parent_; }
    const std::vector<std::unique_ptr<RenderNode>>& children() const { return children_; }
    // The one-line description dump() prints.
    std::string describe() const;

    // The environment in force here.
    const Font& font() const { return font_; }
    const std::optional<Color>& foregroundColor() const { return foreground_; }
    std::optional<int> lineLimit() const { return lineLimit_; }
    TextAlignment multilineTextAlignment() const { return textAlignment_; }
    double minimumScaleFactor() const { return minimumScale_; }
    double tracking() const { return tracking_; }
    bool isDisabled() const { return disabled_; }
    std::string buttonStyle() const { return buttonStyle_; }
    // Text: the scale it was shrunk to (1 when not) and its line count.
    double textScale() const { return textScale_; }
    int lineCount() const { return lines_; }

    // Modifier data (zero values for other nodes).
    EdgeInsets padding() const { return insets_; }
    const std::optional<Color>& color() const { return color_; }  // colour, border, shadow
    double number() const { return number_; }  // radius, width, opacity, tracking
    const std::optional<Animation>& animation() const { return animation_; }
    const LinearGradientSpec& gradient() const { return gradient_; }
    const FlexibleFrame& flexibleFrame() const { return flex_; }
    Alignment alignment() const { return alignment_; }
    const std::optional<std::string>& accessibilityLabel() const { return accessibilityLabel_; }
    const std::optional<std::string>& accessibilityHint() const { return accessibilityHint_; }
    // Hidden from accessibility here or by an ancestor.
    bool isAccessibilityHidden() const;
    // Toggle: its value; Picker: its options and selected tag.
    bool isOn() const;
    const std::vector<PickerOption>& options() const { return options_; }
    std::optional<std::int64_t> selectedTag() const;
    std::optional<std::string> selectedTitle() const;
    // Opacity node: its target and the value shown now, while an animation
    // runs on the clock.
    double opacity() const { return number_; }
    double presentedOpacity() const;
    // The product of the presented opacities of this node and its ancestors.
    double effectiveOpacity() const;
    // A hosted native view.
    const std::shared_ptr<NSView>& nativeView() const { return nativeView_; }

    // Depth first, this node included.
    RenderNode* find(const std::function<bool(const RenderNode&)>& predicate);
    // The nearest ancestor (not this node) of that kind.
    RenderNode* ancestor(const std::string& kind) const;

  private:
    friend class RenderBuilder;
    friend class NSHostingView;

    std::string kind_;
    std::string text_;
    std::string path_;
    NSRect frame_;
    RenderNode* parent_ = nullptr;
    std::vector<std::unique_ptr<RenderNode>> children_;
    std::shared_ptr<const ViewNode> node_;

    Font font_;
    std::optional<Color> foreground_;
    std::optional<int> lineLimit_;
    TextAlignment textAlignment_ = TextAlignment::leading;
    double minimumScale_ = 1;
    double tracking_ = 0;
    bool disabled_ = false;
    std::string buttonStyle_ = "default";
    std::string toggleStyle_ = "checkbox";
    bool labelsHidden_ = false;
    double textScale_ = 1;
    int lines_ = 1;
    int axis_ = 0;  // 0 none, 1 horizontal stack, 2 vertical stack

    EdgeInsets insets_;
    std::optional<Color> color_;
    double number_ = 0;
    std::optional<Animation> animation_;
    std::optional<Animation> activeAnimation_;  // in force here (environment)
    LinearGradientSpec gradient_;
    FlexibleFrame flex_;
    Alignment alignment_;
    std::optional<std::string> accessibilityLabel_;
    std::optional<std::string> accessibilityHint_;
    bool accessibilityHidden_ = false;
    std::vector<PickerOption> options_;
    std::shared_ptr<NSView> nativeView_;
    NSHostingView* host_ = nullptr;
};
