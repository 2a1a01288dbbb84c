#pragma once
// The declarative view framework, headless: views are values that describe
// a tree; a hosting view (NSHostingView.h) evaluates it, lays it out and
// keeps the result as inspectable render nodes (RenderNode.h).
//
// A custom view is any type with `View body() const`; it converts to View.
// It may also answer `std::vector<std::shared_ptr<ObservableObject>>
// observedObjects() const`: its host redraws when one of them announces a
// change. View-local state (State<T>) lives in the view value: a root
// view's state lasts as long as its host, a child built afresh by its
// parent's body starts again.
//
// Text(const char*) is a localisable key of the main bundle's string table
// (shown as written without an entry); Text(std::string) is shown verbatim.

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSView.h"
#include "platform/combine/Binding.h"
#include "platform/combine/Combine.h"

inline constexpr double infinity = std::numeric_limits<double>::infinity();

enum class HorizontalAlignment { leading, center, trailing };
enum class VerticalAlignment { top, center, bottom, firstTextBaseline };
struct Alignment {
    HorizontalAlignment horizontal = HorizontalAlignment::center;
    VerticalAlignment vertical = VerticalAlignment::center;
    static constexpr Alignment center() { return {}; }
    static constexpr Alignment leading() { return {HorizontalAlignment::leading}; }
    static constexpr Alignment trailing() { return {HorizontalAlignment::trailing}; }
    static constexpr Alignment top() {
        return {HorizontalAlignment::center, VerticalAlignment::top};
    }
    static constexpr Alignment bottom() {
        return {HorizontalAlignment::center, VerticalAlignment::bottom};
    }
    static constexpr Alignment topLeading() {
        return {HorizontalAlignment::leading, VerticalAlignment::top};
    }
    static constexpr Alignment topTrailing() {
        return {HorizontalAlignment::trailing, VerticalAlignment::top};
    }
    static constexpr Alignment bottomLeading() {
        return {HorizontalAlignment::leading, VerticalAlignment::bottom};
    }
    static constexpr Alignment bottomTrailing() {
        return {HorizontalAlignment::trailing, VerticalAlignment::bottom};
    }
    bool operator==(const Alignment&) const = default;
};
enum class TextAlignment { leading, center, trailing };

struct Edge {
    enum Set : unsigned {
        top = 1,
        leading = 2,
        bottom = 4,
        trailing = 8,
        horizontal = leading | trailing,
        vertical = top | bottom,
        all = 15,
    };
};
struct EdgeInsets {
    double top = 0;
    double leading = 0;
    double bottom = 0;
    double trailing = 0;
    bool operator==(const EdgeInsets&) const = default;
};

struct UnitPoint {
    double x = 0;
    double y = 0;
    static constexpr UnitPoint top() { return {0.5, 0}; }
    static constexpr UnitPoint bottom() { return {0.5, 1}; }
    static constexpr UnitPoint center() { return {0.5, 0.5}; }
    static constexpr UnitPoint leading() { return {0, 0.5}; }
    static constexpr UnitPoint trailing() { return {1, 0.5}; }
    bool operator==(const UnitPoint&) const = default;
};

enum class FontWeight { ultraLight, thin, light, regular, medium, semibold, bold, heavy, black };
enum class FontDesign { standard, serif, rounded, monospaced };

// A font: point size, weight and design. The text styles have the
// platform's sizes (body 13, title 22, title2 17, largeTitle 26, ...).
struct Font {
    double size = 13;
    FontWeight weight = FontWeight::regular;
    FontDesign design = FontDesign::standard;
    std::string style = "body";  // the text style, or "system" for a sized font

    static Font system(double size, FontWeight weight = FontWeight::regular,
                       FontDesign design = FontDesign::standard);
    static Font largeTitle();
    static Font title();
    static Font title2();
    static Font title3();
    static Font headline();
    static Font subheadline();
    static Font body();
    static Font callout();
    static Font footnote();
    static Font caption();
    Font bold() const { return withWeight(FontWeight::bold); }
    Font withWeight(FontWeight w) const {
        Font f = *this;
        f.weight = w;
        return f;
    }
    std::string description() const;
    bool operator==(const Font&) const = default;
};

// A colour of the declarative framework: components from 0 to 1 and, for
// system and semantic colours, their name.
struct Color {
    std::string name;  // empty for a colour made from components
    double red = 0;
    double green = 0;
    double blue = 0;
    double opacity = 1;

    static Color rgb(double red, double green, double blue, double opacity = 1) {
        return {"", red, green, blue, opacity};
    }
    // Carries the colour's name and components.
    static Color fromNSColor(const std::shared_ptr<NSColor>& color);
    static Color white() { return {"white", 1, 1, 1, 1}; }
    static Color black() { return {"black", 0, 0, 0, 1}; }
    static Color clear() { return {"clear", 0, 0, 0, 0}; }
    static Color systemRed() { return {"red", 1, 0.231, 0.188, 1}; }
    static Color accentColor() { return {"accentColor", 0, 0.478, 1, 1}; }
    static Color primary() { return {"primary", 0, 0, 0, 0.85}; }
    static Color secondary() { return {"secondary", 0, 0, 0, 0.5}; }
    Color withOpacity(double o) const {
        Color c = *this;
        c.opacity = o;
        return c;
    }
    std::string description() const;
    bool operator==(const Color&) const = default;
};

struct LinearGradientSpec {
    std::vector<Color> colors;
    UnitPoint startPoint;
    UnitPoint endPoint;
};

enum class AnimationCurve { linear, easeIn, easeOut, easeInOut };
struct Animation {
    AnimationCurve curve = AnimationCurve::easeInOut;
    double duration = 0.35;
    static Animation linear(double duration = 0.35) { return {AnimationCurve::linear, duration}; }
    static Animation easeIn(double duration = 0.35) { return {AnimationCurve::easeIn, duration}; }
    static Animation easeOut(double duration = 0.35) { return {AnimationCurve::easeOut, duration}; }
    static Animation easeInOut(double duration = 0.35) {
        return {AnimationCurve::easeInOut, duration};
    }
    // The progress (0 to 1) at a fraction of the duration: easeIn t²,
    // easeOut 1 − (1 − t)², easeInOut t²(3 − 2t).
    double progress(double fraction) const;
    bool operator==(const Animation&) const = default;
};

// Designated initialisers name the bounds: {.minWidth = 120}.
struct FlexibleFrame {
    std::optional<double> minWidth = std::nullopt;
    std::optional<double> idealWidth = std::nullopt;
    std::optional<double> maxWidth = std::nullopt;
    std::optional<double> minHeight = std::nullopt;
    std::optional<double> idealHeight = std::nullopt;
    std::optional<double> maxHeight = std::nullopt;
    Alignment alignment = Alignment::center();
};

enum class ContentMode { fit, fill };

struct ViewNode;
class ViewModifier;
class ButtonStyle;
class NSViewRepresentable;

class View {
  public:
    // The framework's default padding and stack spacing.
    static constexpr double defaultPadding = 16;
    static constexpr double defaultSpacing = 8;

    View();                    // an empty view: takes no room and no spacing in a stack
    View(const Color& color);  // NOLINT: a colour is a view that fills its room
    template <class T>
    requires requires(const T& v) { v.body(); }
    View(const T& custom);  // NOLINT: custom views convert like the platform's
    template <class T>
    requires std::is_base_of_v<NSViewRepresentable, T> View(const T& representable);  // NOLINT

    View padding(double length = defaultPadding) const;
    View padding(unsigned edges, std::optional<double> length = std::nullopt) const;
    View padding(EdgeInsets insets) const;
    View frame(std::optional<double> width, std::optional<double> height,
               Alignment alignment = {}) const;
    View frame(const FlexibleFrame& frame) const;
    View fixedSize(bool horizontal = true, bool vertical = true) const;
    View aspectRatio(std::optional<double> ratio, ContentMode mode) const;
    View scaledToFit() const { return aspectRatio(std::nullopt, ContentMode::fit); }
    View resizable() const;  // images

    View font(const Font& font) const;
    View bold() const;
    View fontWeight(FontWeight weight) const;
    View foregroundColor(const Color& color) const;
    View tracking(double tracking) const;
    View lineLimit(std::optional<int> lines) const;
    View multilineTextAlignment(TextAlignment alignment) const;
    View minimumScaleFactor(double factor) const;

    View background(const View& background, Alignment alignment = {}) const;
    View cornerRadius(double radius, bool antialiased = true) const;
    View clipped() const;
    View clipShape(double cornerRadius) const;  // a rounded rectangle
    View contentShape() const;                  // the full rectangle takes hits
    View shadow(const Color& color, double radius, double x = 0, double y = 0) const;
    View border(const Color& color, double width = 1) const;
    View opacity(double opacity) const;
    View hidden() const;
    // Animates the changes in this subtree when `value` differs from its
    // value at the previous evaluation; none turns animation off.
    template <class V>
    View animation(std::optional<Animation> animation, const V& value) const {
        return animationFor(animation, describeValue(value));
    }

    View accessibilityLabel(const std::string& label) const;
    View accessibilityHint(const std::string& hint) const;
    View accessibilityHidden(bool hidden) const;

    View buttonStyle(std::shared_ptr<const ButtonStyle> style) const;
    template <class S>
    requires std::is_base_of_v<ButtonStyle, S> View buttonStyle(const S& style)
    const { return buttonStyle(std::shared_ptr<const ButtonStyle>(std::make_shared<S>(style))); }
    View toggleStyle(const std::string& style) const;  // "checkbox" (default), "switch"
    View pickerStyle(const std::string& style) const;  // "popUp" (default), "radioGroup"
    View labelsHidden() const;
    View disabled(bool disabled) const;
    View tag(std::int64_t tag) const;
    View help(const std::string& text) const;

    template <class M>
    requires std::is_base_of_v<ViewModifier, M> View modifier(const M& m)
    const {
        return modifier(std::shared_ptr<const ViewModifier>(std::make_shared<M>(m)),
                        typeid(M).name());
    }
    View modifier(std::shared_ptr<const ViewModifier> modifier, const std::string& name) const;
    // Redraws the host when one of the objects announces a change.
    View observing(std::vector<std::shared_ptr<ObservableObject>> objects) const;

    const std::shared_ptr<const ViewNode>& node() const { return node_; }
    explicit View(std::shared_ptr<const ViewNode> node) : node_(std::move(node)) {}

    // For custom views and representables (see the templates above).
    static View custom(std::string typeName, std::function<View()> body,
                       std::function<std::vector<std::shared_ptr<ObservableObject>>()> observed);
    static View representable(std::string typeName,
                              std::shared_ptr<const NSViewRepresentable> representable);

  private:
    View animationFor(std::optional<Animation> animation, std::string value) const;
    template <class V>
    static std::string describeValue(const V& value) {
        if constexpr (std::is_same_v<V, bool>)
            return value ? "true" : "false";
        else if constexpr (std::is_arithmetic_v<V>)
            return std::to_string(value);
        else
            return std::string(value);
    }

    std::shared_ptr<const ViewNode> node_;
};

// A modifier of one's own: body() builds the modified content.
class ViewModifier {
  public:
    virtual ~ViewModifier() = default;
    virtual View body(const View& content) const = 0;
};

struct ButtonStyleConfiguration {
    View label;
    bool isPressed = false;
};
class ButtonStyle {
  public:
    virtual ~ButtonStyle() = default;
    virtual std::string name() const = 0;
    virtual View makeBody(const ButtonStyleConfiguration& configuration) const = 0;
};
// The label as it is.
struct PlainButtonStyle : ButtonStyle {
    std::string name() const override { return "plain"; }
    View makeBody(const ButtonStyleConfiguration& c) const override { return c.label; }
};
struct BorderlessButtonStyle : ButtonStyle {
    std::string name() const override { return "borderless"; }
    View makeBody(const ButtonStyleConfiguration& c) const override { return c.label; }
};
// The label in the link colour, like a hyperlink.
struct LinkButtonStyle : ButtonStyle {
    std::string name() const override { return "link"; }
    View makeBody(const ButtonStyleConfiguration& c) const override;
};
// The platform's push button: the label with 8 points of padding on the
// sides and 3 above and below.
struct DefaultButtonStyle : ButtonStyle {
    std::string name() const override { return "default"; }
    View makeBody(const ButtonStyleConfiguration& c) const override;
};

// Hosting of a native view: made once per place in the tree and kept across
// redraws; update runs at every evaluation.
class NSViewRepresentable {
  public:
    virtual ~NSViewRepresentable() = default;
    virtual std::shared_ptr<NSView> makeNSView() const = 0;
    virtual void updateNSView(NSView&) const {}
};

// View-local state: copies share the value; setting it redraws the hosts.
template <class T>
class State {
  public:
    explicit State(T initial = T()) : box_(std::make_shared<T>(std::move(initial))) {}
    const T& wrappedValue() const { return *box_; }
    void setWrappedValue(const T& value) const;
    Binding<T> projectedValue() const {
        auto box = box_;
        State copy = *this;
        return Binding<T>([box] { return *box; }, [copy](const T& v) { copy.setWrappedValue(v); });
    }

  private:
    std::shared_ptr<T> box_;
};

namespace swiftui_detail {
// Tells every host that view state changed.
void stateDidChange();
}  // namespace swiftui_detail

template <class T>
void State<T>::setWrappedValue(const T& value) const {
    *box_ = value;
    swiftui_detail::stateDidChange();
}

struct GeometryProxy {
    NSSize size;
};

// Primitive views.
struct EmptyView : View {
    EmptyView() = default;
};
struct Text : View {
    explicit Text(const char* key);          // localisable key
    explicit Text(const std::string& text);  // verbatim
    static Text verbatim(const std::string& text) { return Text(text); }
};
struct Image : View {
    // A named image of the main bundle; label is its accessibility label.
    explicit Image(const std::string& name, std::optional<std::string> label = std::nullopt);
};
struct Button : View {
    Button(const char* titleKey, std::function<void()> action);
    Button(std::function<void()> action, const View& label);
};
struct Toggle : View {
    Toggle(const char* titleKey, Binding<bool> isOn);
    Toggle(const std::string& title, Binding<bool> isOn);
    Toggle(Binding<bool> isOn, const View& label);
};
// A picker whose options are views carrying a tag; choosing an option sets
// the selection to its tag.
struct Picker : View {
    Picker(const View& label, Binding<std::int64_t> selection, std::vector<View> options);
    template <class T>
    requires std::is_integral_v<T> Picker(const char* titleKey, Binding<T> selection,
                                          std::vector<View> options)
        : Picker(Text(titleKey), widen(selection), std::move(options)) {}

  private:
    template <class T>
    static Binding<std::int64_t> widen(Binding<T> b) {
        if constexpr (std::is_same_v<T, std::int64_t>) {
            return b;
        } else {
            return Binding<std::int64_t>([b] { return static_cast<std::int64_t>(b.get()); },
                                         [b](const std::int64_t& v) { b.set(static_cast<T>(v)); });
        }
    }
};
struct Spacer : View {
    explicit Spacer(std::optional<double> minLength = std::nullopt);
};
struct Divider : View {
    Divider();
};
struct VStack : View {
    explicit VStack(std::vector<View> children);
    VStack(HorizontalAlignment alignment, std::optional<double> spacing,
           std::vector<View> children);
};
struct HStack : View {
    explicit HStack(std::vector<View> children);
    HStack(VerticalAlignment alignment, std::optional<double> spacing, std::vector<View> children);
};
struct ZStack : View {
    explicit ZStack(std::vector<View> children, Alignment alignment = {});
};
// Its content is built at layout time with the size the reader gets; the
// reader takes all the room offered and puts its content at the top left.
struct GeometryReader : View {
    explicit GeometryReader(std::function<View(const GeometryProxy&)> content);
};
struct Rectangle : View {
    Rectangle();
};
struct RoundedRectangle : View {
    explicit RoundedRectangle(double cornerRadius);
};
struct LinearGradient : View {
    LinearGradient(std::vector<Color> colors, UnitPoint startPoint, UnitPoint endPoint);
};

template <class T>
requires requires(const T& v) {
    v.body();
}
View::View(const T& custom) {
    auto copy = std::make_shared<T>(custom);
    std::function<std::vector<std::shared_ptr<ObservableObject>>()> observed;
    if constexpr (requires { copy->observedObjects(); }) {
        observed = [copy] { return copy->observedObjects(); };
    }
    *this = View::custom(
        typeid(T).name(), [copy] { return View(copy->body()); }, std::move(observed));
}

template <class T>
requires std::is_base_of_v<NSViewRepresentable, T> View::View(const T& representable) {
    *this = View::representable(typeid(T).name(), std::make_shared<T>(representable));
}
