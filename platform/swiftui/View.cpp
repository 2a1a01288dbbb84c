#include "platform/swiftui/View.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>

#include "platform/bundle/NSBundle.h"
#include "platform/swiftui/ViewNode.h"

namespace {

std::shared_ptr<ViewNode> make(NodeKind kind) {
    auto node = std::make_shared<ViewNode>();
    node->kind = kind;
    return node;
}

std::string demangle(const std::string& name) {
    int status = 0;
    char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string result = status == 0 && text ? text : name;
    std::free(text);
    return result;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

const char* weightName(FontWeight weight) {
    switch (weight) {
        case FontWeight::ultraLight:
            return "ultraLight";
        case FontWeight::thin:
            return "thin";
        case FontWeight::light:
            return "light";
        case FontWeight::regular:
            return "regular";
        case FontWeight::medium:
            return "medium";
        case FontWeight::semibold:
            return "semibold";
        case FontWeight::bold:
            return "bold";
        case FontWeight::heavy:
            return "heavy";
        case FontWeight::black:
            return "black";
    }
    return "regular";
}

Font textStyle(const char* style, double size, FontWeight weight = FontWeight::regular) {
    return {size, weight, FontDesign::standard, style};
}

}  // namespace

Font Font::system(double size, FontWeight weight, FontDesign design) {
    return {size, weight, design, "system"};
}
Font Font::largeTitle() {
    return textStyle("largeTitle", 26);
}
Font Font::title() {
    return textStyle("title", 22);
}
Font Font::title2() {
    return textStyle("title2", 17);
}
Font Font::title3() {
    return textStyle("title3", 15);
}
Font Font::headline() {
    return textStyle("headline", 13, FontWeight::bold);
}
Font Font::subheadline() {
    return textStyle("subheadline", 11);
}
Font Font::body() {
    return textStyle("body", 13);
}
Font Font::callout() {
    return textStyle("callout", 12);
}
Font Font::footnote() {
    return textStyle("footnote", 10);
}
Font Font::caption() {
    return textStyle("caption", 10);
}

std::string Font::description() const {
    std::string text = style + " " + number(size);
    if (weight != FontWeight::regular) text += std::string(" ") + weightName(weight);
    if (design == FontDesign::serif) text += " serif";
    if (design == FontDesign::rounded) text += " rounded";
    if (design == FontDesign::monospaced) text += " monospaced";
    return text;
}

Color Color::fromNSColor(const std::shared_ptr<NSColor>& color) {
    if (!color) return clear();
    return {color->name().value_or(""), color->redComponent(), color->greenComponent(),
            color->blueComponent(), color->alphaComponent()};
}

std::string Color::description() const {
    if (!name.empty()) return opacity == 1 ? name : name + " opacity " + number(opacity);
    return NSColor(std::nullopt, red, green, blue, opacity).description();
}

double Animation::progress(double fraction) const {
    double t = fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
    switch (curve) {
        case AnimationCurve::linear:
            return t;
        case AnimationCurve::easeIn:
            return t * t;
        case AnimationCurve::easeOut:
            return 1 - (1 - t) * (1 - t);
        case AnimationCurve::easeInOut:
            return t * t * (3 - 2 * t);
    }
    return t;
}

View::View() : node_(make(NodeKind::empty)) {}

View::View(const Color& color) {
    auto node = make(NodeKind::color);
    node->color = color;
    node_ = node;
}

View View::custom(std::string typeName, std::function<View()> body,
                  std::function<std::vector<std::shared_ptr<ObservableObject>>()> observed) {
    auto node = make(NodeKind::custom);
    node->name = demangle(typeName);
    node->body = std::move(body);
    node->observed = std::move(observed);
    return View(node);
}

View View::representable(std::string typeName,
                         std::shared_ptr<const NSViewRepresentable> representable) {
    auto node = make(NodeKind::representable);
    node->name = demangle(typeName);
    node->representable = std::move(representable);
    return View(node);
}

namespace {

std::shared_ptr<ViewNode> wrap(const View& content, ModifierKind kind) {
    auto node = make(NodeKind::modifier);
    node->modifier = kind;
    node->children.push_back(content);
    return node;
}

}  // namespace

View View::padding(double length) const {
    return padding(EdgeInsets{length, length, length, length});
}

View View::padding(unsigned edges, std::optional<double> length) const {
    double l = length.value_or(defaultPadding);
    return padding(EdgeInsets{edges & Edge::top ? l : 0, edges & Edge::leading ? l : 0,
                              edges & Edge::bottom ? l : 0, edges & Edge::trailing ? l : 0});
}

View View::padding(EdgeInsets insets) const {
    auto node = wrap(*this, ModifierKind::padding);
    node->insets = insets;
    return View(node);
}

View View::frame(std::optional<double> width, std::optional<double> height,
                 Alignment alignment) const {
    auto node = wrap(*this, ModifierKind::frame);
    node->width = width;
    node->height = height;
    node->alignment = alignment;
    return View(node);
}

View View::frame(const FlexibleFrame& frame) const {
    auto node = wrap(*this, ModifierKind::flexFrame);
    node->flex = frame;
    node->alignment = frame.alignment;
    return View(node);
}

View View::fixedSize(bool horizontal, bool vertical) const {
    auto node = wrap(*this, ModifierKind::fixedSize);
    node->flagA = horizontal;
    node->flagB = vertical;
    return View(node);
}

View View::aspectRatio(std::optional<double> ratio, ContentMode mode) const {
    auto node = wrap(*this, ModifierKind::aspectRatio);
    node->number = ratio;
    node->contentMode = mode;
    return View(node);
}

View View::resizable() const {
    return View(wrap(*this, ModifierKind::resizable));
}

View View::font(const Font& font) const {
    auto node = wrap(*this, ModifierKind::font);
    node->font = font;
    return View(node);
}

View View::bold() const {
    return fontWeight(FontWeight::bold);
}

View View::fontWeight(FontWeight weight) const {
    auto node = wrap(*this, ModifierKind::fontWeight);
    node->weight = weight;
    return View(node);
}

View View::foregroundColor(const Color& color) const {
    auto node = wrap(*this, ModifierKind::foregroundColor);
    node->color = color;
    return View(node);
}

View View::tracking(double tracking) const {
    auto node = wrap(*this, ModifierKind::tracking);
    node->number = tracking;
    return View(node);
}

View View::lineLimit(std::optional<int> lines) const {
    auto node = wrap(*this, ModifierKind::lineLimit);
    node->lines = lines;
    return View(node);
}

View View::multilineTextAlignment(TextAlignment alignment) const {
    auto node = wrap(*this, ModifierKind::multilineTextAlignment);
    node->textAlignment = alignment;
    return View(node);
}

View View::minimumScaleFactor(double factor) const {
    auto node = wrap(*this, ModifierKind::minimumScaleFactor);
    node->number = factor;
    return View(node);
}

View View::background(const View& background, Alignment alignment) const {
    auto node = wrap(*this, ModifierKind::background);
    node->children.push_back(background);
    node->alignment = alignment;
    return View(node);
}

View View::cornerRadius(double radius, bool antialiased) const {
    auto node = wrap(*this, ModifierKind::cornerRadius);
    node->number = radius;
    node->flagA = antialiased;
    return View(node);
}

View View::clipped() const {
    return View(wrap(*this, ModifierKind::clipped));
}

View View::clipShape(double cornerRadius) const {
    auto node = wrap(*this, ModifierKind::clipShape);
    node->number = cornerRadius;
    return View(node);
}

View View::contentShape() const {
    return View(wrap(*this, ModifierKind::contentShape));
}

View View::shadow(const Color& color, double radius, double x, double y) const {
    auto node = wrap(*this, ModifierKind::shadow);
    node->color = color;
    node->number = radius;
    node->shadowX = x;
    node->shadowY = y;
    return View(node);
}

View View::border(const Color& color, double width) const {
    auto node = wrap(*this, ModifierKind::border);
    node->color = color;
    node->number = width;
    return View(node);
}

View View::opacity(double opacity) const {
    auto node = wrap(*this, ModifierKind::opacity);
    node->number = opacity;
    return View(node);
}

View View::hidden() const {
    return View(wrap(*this, ModifierKind::hidden));
}

View View::animationFor(std::optional<Animation> animation, std::string value) const {
    auto node = wrap(*this, ModifierKind::animation);
    node->animation = animation;
    node->text = std::move(value);
    return View(node);
}

View View::accessibilityLabel(const std::string& label) const {
    auto node = wrap(*this, ModifierKind::accessibilityLabel);
    node->text = label;
    return View(node);
}

View View::accessibilityHint(const std::string& hint) const {
    auto node = wrap(*this, ModifierKind::accessibilityHint);
    node->text = hint;
    return View(node);
}

View View::accessibilityHidden(bool hidden) const {
    auto node = wrap(*this, ModifierKind::accessibilityHidden);
    node->flagA = hidden;
    return View(node);
}

View View::buttonStyle(std::shared_ptr<const ButtonStyle> style) const {
    auto node = wrap(*this, ModifierKind::buttonStyle);
    node->buttonStyle = std::move(style);
    return View(node);
}

View View::toggleStyle(const std::string& style) const {
    auto node = wrap(*this, ModifierKind::toggleStyle);
    node->text = style;
    return View(node);
}

View View::pickerStyle(const std::string& style) const {
    auto node = wrap(*this, ModifierKind::pickerStyle);
    node->text = style;
    return View(node);
}

View View::labelsHidden() const {
    return View(wrap(*this, ModifierKind::labelsHidden));
}

View View::disabled(bool disabled) const {
    auto node = wrap(*this, ModifierKind::disabled);
    node->flagA = disabled;
    return View(node);
}

View View::tag(std::int64_t tag) const {
    auto node = wrap(*this, ModifierKind::tag);
    node->tag = tag;
    return View(node);
}

View View::help(const std::string& text) const {
    auto node = wrap(*this, ModifierKind::help);
    node->text = text;
    return View(node);
}

View View::modifier(std::shared_ptr<const ViewModifier> modifier, const std::string& name) const {
    auto node = wrap(*this, ModifierKind::custom);
    node->customModifier = std::move(modifier);
    node->text = demangle(name);
    return View(node);
}

View View::observing(std::vector<std::shared_ptr<ObservableObject>> objects) const {
    auto node = wrap(*this, ModifierKind::observing);
    node->objects = std::move(objects);
    return View(node);
}

View LinkButtonStyle::makeBody(const ButtonStyleConfiguration& c) const {
    return c.label.foregroundColor(Color::fromNSColor(NSColor::linkColor()));
}

View DefaultButtonStyle::makeBody(const ButtonStyleConfiguration& c) const {
    return c.label.padding(EdgeInsets{3, 8, 3, 8});
}

Text::Text(const char* key) {
    auto node = make(NodeKind::text);
    node->name = key ? key : "";
    node->localized = true;
    static_cast<View&>(*this) = View(node);
}

Text::Text(const std::string& text) {
    auto node = make(NodeKind::text);
    node->name = text;
    static_cast<View&>(*this) = View(node);
}

Image::Image(const std::string& name, std::optional<std::string> label) {
    auto node = make(NodeKind::image);
    node->name = name;
    node->imageLabel = std::move(label);
    static_cast<View&>(*this) = View(node);
}

Button::Button(const char* titleKey, std::function<void()> action)
    : Button(std::move(action), Text(titleKey)) {}

Button::Button(std::function<void()> action, const View& label) {
    auto node = make(NodeKind::button);
    node->action = std::move(action);
    node->children.push_back(label);
    static_cast<View&>(*this) = View(node);
}

Toggle::Toggle(const char* titleKey, Binding<bool> isOn)
    : Toggle(std::move(isOn), Text(titleKey)) {}

Toggle::Toggle(const std::string& title, Binding<bool> isOn)
    : Toggle(std::move(isOn), Text(title)) {}

Toggle::Toggle(Binding<bool> isOn, const View& label) {
    auto node = make(NodeKind::toggle);
    node->isOn = std::move(isOn);
    node->children.push_back(label);
    static_cast<View&>(*this) = View(node);
}

Picker::Picker(const View& label, Binding<std::int64_t> selection, std::vector<View> options) {
    auto node = make(NodeKind::picker);
    node->selection = std::move(selection);
    node->children.push_back(label);
    for (auto& option : options) node->children.push_back(std::move(option));
    static_cast<View&>(*this) = View(node);
}

Spacer::Spacer(std::optional<double> minLength) {
    auto node = make(NodeKind::spacer);
    node->number = minLength;
    static_cast<View&>(*this) = View(node);
}

Divider::Divider() {
    static_cast<View&>(*this) = View(make(NodeKind::divider));
}

VStack::VStack(std::vector<View> children)
    : VStack(HorizontalAlignment::center, std::nullopt, std::move(children)) {}

VStack::VStack(HorizontalAlignment alignment, std::optional<double> spacing,
               std::vector<View> children) {
    auto node = make(NodeKind::vstack);
    node->horizontal = alignment;
    node->spacing = spacing;
    node->children = std::move(children);
    static_cast<View&>(*this) = View(node);
}

HStack::HStack(std::vector<View> children)
    : HStack(VerticalAlignment::center, std::nullopt, std::move(children)) {}

HStack::HStack(VerticalAlignment alignment, std::optional<double> spacing,
               std::vector<View> children) {
    auto node = make(NodeKind::hstack);
    node->vertical = alignment;
    node->spacing = spacing;
    node->children = std::move(children);
    static_cast<View&>(*this) = View(node);
}

ZStack::ZStack(std::vector<View> children, Alignment alignment) {
    auto node = make(NodeKind::zstack);
    node->alignment = alignment;
    node->children = std::move(children);
    static_cast<View&>(*this) = View(node);
}

GeometryReader::GeometryReader(std::function<View(const GeometryProxy&)> content) {
    auto node = make(NodeKind::geometry);
    node->geometry = std::move(content);
    static_cast<View&>(*this) = View(node);
}

Rectangle::Rectangle() {
    auto node = make(NodeKind::shape);
    node->name = "Rectangle";
    static_cast<View&>(*this) = View(node);
}

RoundedRectangle::RoundedRectangle(double cornerRadius) {
    auto node = make(NodeKind::shape);
    node->name = "RoundedRectangle";
    node->cornerRadius = cornerRadius;
    static_cast<View&>(*this) = View(node);
}

LinearGradient::LinearGradient(std::vector<Color> colors, UnitPoint startPoint,
                               UnitPoint endPoint) {
    auto node = make(NodeKind::gradient);
    node->gradient = {std::move(colors), startPoint, endPoint};
    static_cast<View&>(*this) = View(node);
}
