#include "platform/swiftui/NSHostingView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <numeric>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/swiftui/ViewNode.h"

namespace {

struct Proposal {
    std::optional<double> width;
    std::optional<double> height;
};

std::vector<NSHostingView*>& hosts() {
    static auto* list = new std::vector<NSHostingView*>;
    return *list;
}

std::map<std::string, NSSize>& imageSizes() {
    static auto* sizes = new std::map<std::string, NSSize>;
    return *sizes;
}

double now() {
    return sim::toSeconds(sim::Clock::now().time_since_epoch());
}

std::size_t characterCount(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", std::abs(value) < 1e-9 ? 0.0 : value);
    return text;
}

std::string rect(NSRect r) {
    return "[" + num(r.origin.x) + " " + num(r.origin.y) + " " + num(r.size.width) + " " +
           num(r.size.height) + "]";
}

double align(HorizontalAlignment a, double room, double size) {
    switch (a) {
        case HorizontalAlignment::leading:
            return 0;
        case HorizontalAlignment::center:
            return (room - size) / 2;
        case HorizontalAlignment::trailing:
            return room - size;
    }
    return 0;
}

double align(VerticalAlignment a, double room, double size) {
    switch (a) {
        case VerticalAlignment::top:
        case VerticalAlignment::firstTextBaseline:
            return 0;
        case VerticalAlignment::center:
            return (room - size) / 2;
        case VerticalAlignment::bottom:
            return room - size;
    }
    return 0;
}

NSRect aligned(NSRect room, NSSize size, Alignment a) {
    return {{room.origin.x + align(a.horizontal, room.size.width, size.width),
             room.origin.y + align(a.vertical, room.size.height, size.height)},
            size};
}

double clampFrame(std::optional<double> proposed, double child, std::optional<double> lo,
                  std::optional<double> hi) {
    if (!lo && !hi) return child;
    double lower = lo.value_or(child);
    double upper = std::max(lower, hi.value_or(child));
    return std::clamp(proposed.value_or(child), lower, upper);
}

std::optional<double> clampProposal(std::optional<double> p, std::optional<double> lo,
                                    std::optional<double> hi) {
    if (!p) return p;
    double v = *p;
    if (hi) v = std::min(v, *hi);
    if (lo) v = std::max(v, *lo);
    return v;
}

const char* alignmentName(HorizontalAlignment a) {
    return a == HorizontalAlignment::leading    ? "leading"
           : a == HorizontalAlignment::trailing ? "trailing"
                                                : "center";
}

const char* alignmentName(VerticalAlignment a) {
    return a == VerticalAlignment::top      ? "top"
           : a == VerticalAlignment::bottom ? "bottom"
                                            : "center";
}

std::string collectText(const RenderNode& node) {
    if (node.kind() == "Text") return node.text();
    std::string text;
    for (const auto& child : node.children()) {
        if (child->kind() == "background") {
            if (!child->children().empty()) text += collectText(*child->children()[0]);
            continue;
        }
        std::string part = collectText(*child);
        if (part.empty()) continue;
        if (!text.empty()) text += " ";
        text += part;
    }
    return text;
}

}  // namespace

namespace swiftui_detail {
void stateDidChange() {
    for (NSHostingView* host : hosts()) host->setNeedsUpdate();
}
}  // namespace swiftui_detail

// Evaluates views into render nodes and lays them out.
class RenderBuilder {
  public:
    explicit RenderBuilder(NSHostingView& host) : host_(host) {}

    std::unique_ptr<RenderNode> build(const View& view, RenderNode* parent,
                                      const std::string& path) {
        auto n = std::make_unique<RenderNode>();
        const ViewNode& v = *view.node();
        n->node_ = view.node();
        n->parent_ = parent;
        n->path_ = path;
        n->host_ = &host_;
        if (parent) inherit(*n, *parent);
        switch (v.kind) {
            case NodeKind::empty:
                n->kind_ = "EmptyView";
                break;
            case NodeKind::text:
                n->kind_ = "Text";
                n->text_ = v.name;
                if (v.localized) {
                    if (auto bundle = NSBundle::mainBundle())
                        n->text_ = bundle->localizedStringForKey(v.name, "", "");
                }
                break;
            case NodeKind::image:
                n->kind_ = "Image";
                n->text_ = v.name;
                n->accessibilityLabel_ = v.imageLabel;
                break;
            case NodeKind::button: {
                n->kind_ = "Button";
                auto style = styles_.empty() ? nullptr : styles_.back();
                ButtonStyleConfiguration configuration{v.children.at(0), false};
                View body = style ? style->makeBody(configuration)
                                  : DefaultButtonStyle().makeBody(configuration);
                addChild(*n, body, 0);
                n->text_ = collectText(*n);
                break;
            }
            case NodeKind::toggle:
                n->kind_ = "Toggle";
                addChild(*n, v.children.at(0), 0);
                n->text_ = collectText(*n);
                break;
            case NodeKind::picker: {
                n->kind_ = "Picker";
                addChild(*n, v.children.at(0), 0);
                n->text_ = collectText(*n);
                std::optional<std::size_t> selected;
                auto current = v.selection->get();
                for (std::size_t i = 1; i < v.children.size(); ++i) {
                    auto option =
                        build(v.children[i], n.get(), path + "/option" + std::to_string(i));
                    std::int64_t tag = static_cast<std::int64_t>(i - 1);
                    for (const ViewNode* m = v.children[i].node().get();
                         m && m->kind == NodeKind::modifier;
                         m = m->children.empty() ? nullptr : m->children[0].node().get()) {
                        if (m->modifier == ModifierKind::tag) {
                            tag = m->tag;
                            break;
                        }
                    }
                    n->options_.push_back({tag, collectText(*option)});
                    if (tag == current && !selected) selected = i;
                }
                if (selected) addChild(*n, v.children[*selected], 1);
                break;
            }
            case NodeKind::spacer:
                n->kind_ = "Spacer";
                n->number_ = v.number.value_or(View::defaultSpacing);
                break;
            case NodeKind::divider:
                n->kind_ = "Divider";
                break;
            case NodeKind::vstack:
            case NodeKind::hstack:
            case NodeKind::zstack: {
                n->kind_ = v.kind == NodeKind::vstack   ? "VStack"
                           : v.kind == NodeKind::hstack ? "HStack"
                                                        : "ZStack";
                n->alignment_ =
                    v.kind == NodeKind::zstack ? v.alignment : Alignment{v.horizontal, v.vertical};
                n->number_ = v.spacing.value_or(View::defaultSpacing);
                int axis = v.kind == NodeKind::hstack ? 1 : v.kind == NodeKind::vstack ? 2 : 0;
                for (std::size_t i = 0; i < v.children.size(); ++i) {
                    addChild(*n, v.children[i], i);
                    n->children_.back()->axis_ = axis;
                }
                break;
            }
            case NodeKind::geometry:
                n->kind_ = "GeometryReader";
                break;
            case NodeKind::custom: {
                n->kind_ = v.name;
                if (v.observed) observe(v.observed());
                addChild(*n, v.body(), 0);
                break;
            }
            case NodeKind::representable: {
                n->kind_ = v.name;
                auto& existing = host_.nativeViews_[path];
                if (!existing) existing = v.representable->makeNSView();
                if (existing) v.representable->updateNSView(*existing);
                n->nativeView_ = existing;
                host_.usedNativeViews_[path] = existing;
                break;
            }
            case NodeKind::color:
                n->kind_ = "Color";
                n->color_ = v.color;
                break;
            case NodeKind::shape:
                n->kind_ = v.name;
                n->number_ = v.cornerRadius;
                break;
            case NodeKind::gradient:
                n->kind_ = "LinearGradient";
                n->gradient_ = v.gradient;
                break;
            case NodeKind::modifier:
                buildModifier(*n, v);
                break;
        }
        return n;
    }

    NSSize size(RenderNode& n, Proposal p) {
        const ViewNode& v = *n.node_;
        switch (v.kind) {
            case NodeKind::empty:
                return {0, 0};
            case NodeKind::text:
                return textSize(n, p.width);
            case NodeKind::image: {
                NSSize natural = sim::ViewImages::size(v.name);
                if (!resizable(n)) return natural;
                return {p.width.value_or(natural.width), p.height.value_or(natural.height)};
            }
            case NodeKind::button:
            case NodeKind::custom:
                return size(*n.children_.at(0), p);
            case NodeKind::toggle: {
                bool isSwitch = n.toggleStyle_ == "switch";
                double box = isSwitch ? 32 : 14;
                double gap = isSwitch ? 8 : 6;
                if (n.labelsHidden_) return {box, isSwitch ? 18.0 : 14.0};
                Proposal inner{
                    p.width ? std::optional(std::max(0.0, *p.width - box - gap)) : std::nullopt,
                    p.height};
                NSSize label = size(*n.children_.at(0), inner);
                return {box + gap + label.width, std::max(isSwitch ? 18.0 : 14.0, label.height)};
            }
            case NodeKind::picker: {
                NSSize label = n.labelsHidden_ ? NSSize{} : size(*n.children_.at(0), {});
                double labelRoom = n.labelsHidden_ ? 0 : label.width + 8;
                double popup = pickerIdealWidth(n);
                if (p.width) popup = std::max(0.0, *p.width - labelRoom);
                return {labelRoom + popup, std::max(22.0, label.height)};
            }
            case NodeKind::spacer: {
                double min = n.number_;
                if (n.axis_ == 1) return {std::max(min, p.width.value_or(min)), 0};
                if (n.axis_ == 2) return {0, std::max(min, p.height.value_or(min))};
                return {p.width.value_or(min), p.height.value_or(min)};
            }
            case NodeKind::divider:
                if (n.axis_ == 1) return {1, p.height.value_or(0)};
                return {p.width.value_or(0), 1};
            case NodeKind::vstack:
                return stack(n, p, false, nullptr);
            case NodeKind::hstack:
                return stack(n, p, true, nullptr);
            case NodeKind::zstack: {
                NSSize result;
                for (auto& child : n.children_) {
                    NSSize s = size(*child, p);
                    result.width = std::max(result.width, s.width);
                    result.height = std::max(result.height, s.height);
                }
                return result;
            }
            case NodeKind::representable: {
                NSSize natural{0, 0};
                if (n.nativeView_) {
                    NSSize intrinsic = n.nativeView_->intrinsicContentSize();
                    if (intrinsic.width != NSViewNoIntrinsicMetric) natural.width = intrinsic.width;
                    if (intrinsic.height != NSViewNoIntrinsicMetric)
                        natural.height = intrinsic.height;
                }
                return {p.width.value_or(natural.width), p.height.value_or(natural.height)};
            }
            case NodeKind::geometry:
            case NodeKind::color:
            case NodeKind::shape:
            case NodeKind::gradient:
                return {p.width.value_or(10), p.height.value_or(10)};
            case NodeKind::modifier:
                return modifierSize(n, v, p);
        }
        return {0, 0};
    }

    void place(RenderNode& n, NSRect r) {
        n.frame_ = r;
        const ViewNode& v = *n.node_;
        switch (v.kind) {
            case NodeKind::button:
            case NodeKind::custom:
                place(*n.children_.at(0), r);
                break;
            case NodeKind::toggle: {
                if (n.labelsHidden_) break;
                bool isSwitch = n.toggleStyle_ == "switch";
                double offset = isSwitch ? 40 : 20;
                Proposal inner{std::max(0.0, r.size.width - offset), r.size.height};
                NSSize label = size(*n.children_.at(0), inner);
                place(*n.children_.at(0),
                      {{r.origin.x + offset, r.origin.y + (r.size.height - label.height) / 2},
                       label});
                break;
            }
            case NodeKind::picker: {
                double x = r.origin.x;
                if (!n.labelsHidden_) {
                    NSSize label = size(*n.children_.at(0), {});
                    place(*n.children_.at(0),
                          {{x, r.origin.y + (r.size.height - label.height) / 2}, label});
                    x += label.width + 8;
                } else {
                    place(*n.children_.at(0), {{x, r.origin.y}, {0, 0}});
                }
                if (n.children_.size() > 1) {
                    auto& shown = *n.children_[1];
                    NSSize s = size(shown, {});
                    place(shown, {{x + 8, r.origin.y + (r.size.height - s.height) / 2}, s});
                }
                break;
            }
            case NodeKind::vstack:
                stack(n, {r.size.width, r.size.height}, false, &r);
                break;
            case NodeKind::hstack:
                stack(n, {r.size.width, r.size.height}, true, &r);
                break;
            case NodeKind::zstack:
                for (auto& child : n.children_) {
                    NSSize s = size(*child, {r.size.width, r.size.height});
                    place(*child, aligned(r, s, n.alignment_));
                }
                break;
            case NodeKind::geometry: {
                n.children_.clear();
                addChild(n, v.geometry(GeometryProxy{r.size}), 0);
                auto& child = *n.children_[0];
                NSSize s = size(child, {r.size.width, r.size.height});
                place(child, {r.origin, s});
                break;
            }
            case NodeKind::representable:
                if (n.nativeView_) {
                    n.nativeView_->setFrame(r);
                    if (n.nativeView_->superview().get() != &host_) host_.addSubview(n.nativeView_);
                }
                break;
            case NodeKind::modifier:
                placeModifier(n, v, r);
                break;
            default:
                break;
        }
    }

  private:
    void addChild(RenderNode& parent, const View& view, std::size_t index) {
        parent.children_.push_back(
            build(view, &parent, parent.path_ + "/" + std::to_string(index)));
    }

    static void inherit(RenderNode& n, const RenderNode& parent) {
        n.font_ = parent.font_;
        n.foreground_ = parent.foreground_;
        n.lineLimit_ = parent.lineLimit_;
        n.textAlignment_ = parent.textAlignment_;
        n.minimumScale_ = parent.minimumScale_;
        n.tracking_ = parent.tracking_;
        n.disabled_ = parent.disabled_;
        n.buttonStyle_ = parent.buttonStyle_;
        n.toggleStyle_ = parent.toggleStyle_;
        n.labelsHidden_ = parent.labelsHidden_;
        n.activeAnimation_ = parent.activeAnimation_;
    }

    void observe(std::vector<std::shared_ptr<ObservableObject>> objects) {
        for (auto& object : objects)
            if (object) host_.observed_.push_back(std::move(object));
    }

    bool resizable(const RenderNode& n) const {
        for (auto* p = n.parent_; p && p->kind_ != "Button"; p = p->parent_) {
            if (p->kind_ == "resizable") return true;
            if (p->node_->kind != NodeKind::modifier) break;
        }
        return false;
    }

    Font textFont(const RenderNode& n) const {
        Font font = n.font_;
        for (auto* p = n.parent_; p; p = p->parent_) {
            if (p->kind_ == "fontWeight") {
                font.weight = p->node_->weight;
                break;
            }
        }
        return font;
    }

    NSSize textSize(RenderNode& n, std::optional<double> width) {
        n.font_ = textFont(n);
        double fontSize = n.font_.size;
        double ideal =
            static_cast<double>(characterCount(n.text_)) * (fontSize * 0.6 + n.tracking_);
        double lineHeight = fontSize * 1.2;
        n.textScale_ = 1;
        n.lines_ = 1;
        if (!width || *width >= ideal) return {ideal, lineHeight};
        double w = std::max(0.0, *width);
        if (n.lineLimit_ && *n.lineLimit_ == 1) {
            double scale =
                ideal > 0 ? std::clamp(w / ideal, std::min(1.0, n.minimumScale_), 1.0) : 1;
            n.textScale_ = scale;
            return {std::min(ideal * scale, w), lineHeight * scale};
        }
        int lines = w > 0 ? static_cast<int>(std::ceil(ideal / w - 1e-9))
                          : static_cast<int>(characterCount(n.text_));
        if (n.lineLimit_) lines = std::min(lines, *n.lineLimit_);
        n.lines_ = std::max(1, lines);
        return {w, n.lines_ * lineHeight};
    }

    double pickerIdealWidth(RenderNode& n) const {
        double widest = 0;
        for (const auto& option : n.options_)
            widest = std::max(
                widest, static_cast<double>(characterCount(option.title)) * n.font_.size * 0.6);
        return widest + 28;
    }

    // Sizes a stack for the proposal and, with `into`, places its children.
    NSSize stack(RenderNode& n, Proposal p, bool horizontal, const NSRect* into) {
        std::vector<RenderNode*> kids;
        for (auto& child : n.children_)
            if (child->kind_ != "EmptyView") kids.push_back(child.get());
        if (kids.empty()) return {0, 0};
        double spacing = n.number_ * static_cast<double>(kids.size() - 1);
        auto along = [&](NSSize s) { return horizontal ? s.width : s.height; };
        auto across = [&](NSSize s) { return horizontal ? s.height : s.width; };
        auto propose = [&](std::optional<double> main) {
            return horizontal ? Proposal{main, p.height} : Proposal{p.width, main};
        };
        std::optional<double> room = horizontal ? p.width : p.height;
        std::vector<NSSize> sizes(kids.size());
        if (!room) {
            for (std::size_t i = 0; i < kids.size(); ++i)
                sizes[i] = size(*kids[i], propose(std::nullopt));
        } else {
            std::vector<double> flexibility(kids.size());
            for (std::size_t i = 0; i < kids.size(); ++i)
                flexibility[i] =
                    along(size(*kids[i], propose(infinity))) - along(size(*kids[i], propose(0.0)));
            std::vector<std::size_t> order(kids.size());
            std::iota(order.begin(), order.end(), 0);
            std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                return flexibility[a] < flexibility[b];
            });
            double remaining = *room - spacing;
            std::size_t left = kids.size();
            for (std::size_t i : order) {
                double offer = std::max(0.0, remaining / static_cast<double>(left));
                sizes[i] = size(*kids[i], propose(offer));
                remaining -= along(sizes[i]);
                --left;
            }
        }
        double total = spacing;
        double cross = 0;
        for (const auto& s : sizes) {
            total += along(s);
            cross = std::max(cross, across(s));
        }
        if (into) {
            double offset = 0;
            for (std::size_t i = 0; i < kids.size(); ++i) {
                NSRect r;
                r.size = sizes[i];
                if (horizontal) {
                    r.origin = {into->origin.x + offset,
                                into->origin.y + align(n.alignment_.vertical, into->size.height,
                                                       sizes[i].height)};
                } else {
                    r.origin = {into->origin.x + align(n.alignment_.horizontal, into->size.width,
                                                       sizes[i].width),
                                into->origin.y + offset};
                }
                place(*kids[i], r);
                offset += along(sizes[i]) + n.number_;
            }
        }
        return horizontal ? NSSize{total, cross} : NSSize{cross, total};
    }

    void buildModifier(RenderNode& n, const ViewNode& v) {
        const View& content = v.children.at(0);
        bool pushedStyle = false;
        switch (v.modifier) {
            case ModifierKind::padding:
                n.kind_ = "padding";
                n.insets_ = v.insets;
                break;
            case ModifierKind::frame:
                n.kind_ = "frame";
                n.flex_ = {v.width,      std::nullopt, v.width,    v.height,
                           std::nullopt, v.height,     v.alignment};
                n.alignment_ = v.alignment;
                break;
            case ModifierKind::flexFrame:
                n.kind_ = "frame";
                n.flex_ = v.flex;
                n.alignment_ = v.alignment;
                break;
            case ModifierKind::fixedSize:
                n.kind_ = "fixedSize";
                break;
            case ModifierKind::aspectRatio:
                n.kind_ = "aspectRatio";
                n.number_ = v.number.value_or(0);
                break;
            case ModifierKind::resizable:
                n.kind_ = "resizable";
                break;
            case ModifierKind::font:
                n.kind_ = "font";
                n.font_ = v.font;
                break;
            case ModifierKind::fontWeight:
                n.kind_ = "fontWeight";
                break;
            case ModifierKind::foregroundColor:
                n.kind_ = "foregroundColor";
                n.foreground_ = v.color;
                n.color_ = v.color;
                break;
            case ModifierKind::tracking:
                n.kind_ = "tracking";
                n.tracking_ = v.number.value_or(0);
                n.number_ = n.tracking_;
                break;
            case ModifierKind::lineLimit:
                n.kind_ = "lineLimit";
                n.lineLimit_ = v.lines;
                break;
            case ModifierKind::multilineTextAlignment:
                n.kind_ = "multilineTextAlignment";
                n.textAlignment_ = v.textAlignment;
                break;
            case ModifierKind::minimumScaleFactor:
                n.kind_ = "minimumScaleFactor";
                n.minimumScale_ = v.number.value_or(1);
                n.number_ = n.minimumScale_;
                break;
            case ModifierKind::background:
                n.kind_ = "background";
                n.alignment_ = v.alignment;
                break;
            case ModifierKind::cornerRadius:
                n.kind_ = "cornerRadius";
                n.number_ = v.number.value_or(0);
                break;
            case ModifierKind::clipped:
                n.kind_ = "clipped";
                break;
            case ModifierKind::clipShape:
                n.kind_ = "clipShape";
                n.number_ = v.number.value_or(0);
                break;
            case ModifierKind::contentShape:
                n.kind_ = "contentShape";
                break;
            case ModifierKind::shadow:
                n.kind_ = "shadow";
                n.color_ = v.color;
                n.number_ = v.number.value_or(0);
                break;
            case ModifierKind::border:
                n.kind_ = "border";
                n.color_ = v.color;
                n.number_ = v.number.value_or(1);
                break;
            case ModifierKind::opacity: {
                n.kind_ = "opacity";
                n.number_ = v.number.value_or(1);
                auto [it, fresh] = host_.opacities_.try_emplace(n.path_);
                auto& state = it->second;
                if (fresh) {
                    state.target = state.from = n.number_;
                } else if (state.target != n.number_) {
                    state.from = host_.presentedOpacity(n.path_);
                    state.start = now();
                    state.animation = n.activeAnimation_;
                    state.target = n.number_;
                }
                break;
            }
            case ModifierKind::hidden:
                n.kind_ = "hidden";
                break;
            case ModifierKind::animation: {
                n.kind_ = "animation";
                n.animation_ = v.animation;
                auto [it, fresh] = host_.animationValues_.try_emplace(n.path_, v.text);
                if (!fresh && it->second != v.text) n.activeAnimation_ = v.animation;
                it->second = v.text;
                n.text_ = v.text;
                break;
            }
            case ModifierKind::accessibilityLabel:
                n.kind_ = "accessibilityLabel";
                n.accessibilityLabel_ = v.text;
                break;
            case ModifierKind::accessibilityHint:
                n.kind_ = "accessibilityHint";
                n.accessibilityHint_ = v.text;
                break;
            case ModifierKind::accessibilityHidden:
                n.kind_ = "accessibilityHidden";
                n.accessibilityHidden_ = v.flagA;
                break;
            case ModifierKind::buttonStyle:
                n.kind_ = "buttonStyle";
                n.buttonStyle_ = v.buttonStyle ? v.buttonStyle->name() : "default";
                n.text_ = n.buttonStyle_;
                styles_.push_back(v.buttonStyle);
                pushedStyle = true;
                break;
            case ModifierKind::toggleStyle:
                n.kind_ = "toggleStyle";
                n.toggleStyle_ = v.text;
                n.text_ = v.text;
                break;
            case ModifierKind::pickerStyle:
                n.kind_ = "pickerStyle";
                n.text_ = v.text;
                break;
            case ModifierKind::labelsHidden:
                n.kind_ = "labelsHidden";
                n.labelsHidden_ = true;
                break;
            case ModifierKind::disabled:
                n.kind_ = "disabled";
                n.disabled_ = n.disabled_ || v.flagA;
                n.number_ = v.flagA ? 1 : 0;
                break;
            case ModifierKind::tag:
                n.kind_ = "tag";
                n.number_ = static_cast<double>(v.tag);
                break;
            case ModifierKind::help:
                n.kind_ = "help";
                n.text_ = v.text;
                break;
            case ModifierKind::custom:
                n.kind_ = v.text;
                n.text_ = v.text;
                addChild(n, v.customModifier->body(content), 0);
                return;
            case ModifierKind::observing:
                n.kind_ = "observing";
                observe(v.objects);
                break;
        }
        addChild(n, content, 0);
        if (pushedStyle) styles_.pop_back();
        if (v.modifier == ModifierKind::background) addChild(n, v.children.at(1), 1);
    }

    NSSize modifierSize(RenderNode& n, const ViewNode& v, Proposal p) {
        RenderNode& child = *n.children_.at(0);
        switch (v.modifier) {
            case ModifierKind::padding: {
                const auto& e = n.insets_;
                auto shrink = [](std::optional<double> x, double by) {
                    return x ? std::optional(std::max(0.0, *x - by)) : std::nullopt;
                };
                NSSize s = size(child, {shrink(p.width, e.leading + e.trailing),
                                        shrink(p.height, e.top + e.bottom)});
                return {s.width + e.leading + e.trailing, s.height + e.top + e.bottom};
            }
            case ModifierKind::frame:
            case ModifierKind::flexFrame:
                return frameSize(n, p, nullptr);
            case ModifierKind::fixedSize:
                return size(child,
                            {v.flagA ? std::nullopt : p.width, v.flagB ? std::nullopt : p.height});
            case ModifierKind::aspectRatio:
                return size(child, aspectProposal(n, v, p));
            default:
                return size(child, p);
        }
    }

    Proposal aspectProposal(RenderNode& n, const ViewNode& v, Proposal p) {
        double ratio = n.number_;
        if (ratio <= 0) {
            NSSize ideal = size(*n.children_.at(0), {});
            ratio = ideal.height > 0 ? ideal.width / ideal.height : 1;
        }
        if (p.width && p.height) {
            double w = v.contentMode == ContentMode::fit ? std::min(*p.width, *p.height * ratio)
                                                         : std::max(*p.width, *p.height * ratio);
            return {w, w / ratio};
        }
        if (p.width) return {*p.width, *p.width / ratio};
        if (p.height) return {*p.height * ratio, *p.height};
        return {};
    }

    NSSize frameSize(RenderNode& n, Proposal p, const NSRect* into) {
        const FlexibleFrame& f = n.flex_;
        std::optional<double> pw = p.width ? p.width : f.idealWidth;
        std::optional<double> ph = p.height ? p.height : f.idealHeight;
        Proposal inner{clampProposal(pw, f.minWidth, f.maxWidth),
                       clampProposal(ph, f.minHeight, f.maxHeight)};
        RenderNode& child = *n.children_.at(0);
        NSSize c = size(child, inner);
        NSSize result{clampFrame(pw, c.width, f.minWidth, f.maxWidth),
                      clampFrame(ph, c.height, f.minHeight, f.maxHeight)};
        if (into) place(child, aligned(*into, c, n.alignment_));
        return result;
    }

    void placeModifier(RenderNode& n, const ViewNode& v, NSRect r) {
        RenderNode& child = *n.children_.at(0);
        switch (v.modifier) {
            case ModifierKind::padding: {
                const auto& e = n.insets_;
                place(child, {{r.origin.x + e.leading, r.origin.y + e.top},
                              {std::max(0.0, r.size.width - e.leading - e.trailing),
                               std::max(0.0, r.size.height - e.top - e.bottom)}});
                break;
            }
            case ModifierKind::frame:
            case ModifierKind::flexFrame: {
                const FlexibleFrame& f = n.flex_;
                Proposal inner{clampProposal(r.size.width, f.minWidth, f.maxWidth),
                               clampProposal(r.size.height, f.minHeight, f.maxHeight)};
                NSSize c = size(child, inner);
                place(child, aligned(r, c, n.alignment_));
                break;
            }
            case ModifierKind::fixedSize: {
                NSSize c = size(child, {v.flagA ? std::nullopt : std::optional(r.size.width),
                                        v.flagB ? std::nullopt : std::optional(r.size.height)});
                place(child, aligned(r, c, {}));
                break;
            }
            case ModifierKind::background: {
                place(child, r);
                RenderNode& back = *n.children_.at(1);
                NSSize b = size(back, {r.size.width, r.size.height});
                place(back, aligned(r, b, n.alignment_));
                break;
            }
            default: {
                NSSize c = size(child, {r.size.width, r.size.height});
                place(child, aligned(r, c, {}));
                break;
            }
        }
    }

    NSHostingView& host_;
    std::vector<std::shared_ptr<const ButtonStyle>> styles_;

    friend class NSHostingView;
};

// ---------------------------------------------------------------------------
// RenderNode

std::string RenderNode::describe() const {
    std::string line = kind_;
    const ViewNode& v = *node_;
    auto quote = [](const std::string& s) { return "\"" + s + "\""; };
    switch (v.kind) {
        case NodeKind::text: {
            line += "(" + quote(text_) + ", font: " + font_.description();
            if (foreground_) line += ", color: " + foreground_->description();
            if (textScale_ != 1) line += ", scale: " + num(textScale_);
            if (lines_ != 1) line += ", lines: " + std::to_string(lines_);
            line += ")";
            break;
        }
        case NodeKind::image:
            line += "(" + quote(text_) +
                    (accessibilityLabel_ ? ", label: " + quote(*accessibilityLabel_) : "") + ")";
            break;
        case NodeKind::button:
            line += "(" + quote(text_) + ", style: " + buttonStyle_ +
                    (disabled_ ? ", disabled" : "") + ")";
            break;
        case NodeKind::toggle:
            line += "(" + quote(text_) + ", " + (isOn() ? "on" : "off") +
                    ", style: " + toggleStyle_ + (disabled_ ? ", disabled" : "") + ")";
            break;
        case NodeKind::picker: {
            line += "(" + quote(text_) + ", selection: ";
            auto title = selectedTitle();
            line += title ? quote(*title) : "none";
            line += ", options: [";
            for (std::size_t i = 0; i < options_.size(); ++i)
                line += (i ? ", " : "") + std::to_string(options_[i].tag) + " " +
                        quote(options_[i].title);
            line += "]" + std::string(disabled_ ? ", disabled" : "") + ")";
            break;
        }
        case NodeKind::vstack:
            line += "(alignment: " + std::string(alignmentName(alignment_.horizontal)) +
                    ", spacing: " + num(number_) + ")";
            break;
        case NodeKind::hstack:
            line += "(alignment: " + std::string(alignmentName(alignment_.vertical)) +
                    ", spacing: " + num(number_) + ")";
            break;
        case NodeKind::color:
            line += "(" + color_->description() + ")";
            break;
        case NodeKind::representable:
            if (auto value = nativeView_ ? nativeView_->accessibilityValue() : std::nullopt)
                line += "(" + *value + ")";
            break;
        case NodeKind::shape:
            if (number_ != 0) line += "(cornerRadius: " + num(number_) + ")";
            break;
        case NodeKind::gradient: {
            line += "(";
            for (std::size_t i = 0; i < gradient_.colors.size(); ++i)
                line += (i ? ", " : "") + gradient_.colors[i].description();
            line += ")";
            break;
        }
        case NodeKind::modifier:
            switch (v.modifier) {
                case ModifierKind::padding:
                    line += "(top: " + num(insets_.top) + ", leading: " + num(insets_.leading) +
                            ", bottom: " + num(insets_.bottom) +
                            ", trailing: " + num(insets_.trailing) + ")";
                    break;
                case ModifierKind::frame:
                case ModifierKind::flexFrame: {
                    std::string parts;
                    auto add = [&](const char* name, const std::optional<double>& value) {
                        if (!value) return;
                        parts += (parts.empty() ? "" : ", ") + std::string(name) + ": " +
                                 (std::isinf(*value) ? std::string("infinity") : num(*value));
                    };
                    if (v.modifier == ModifierKind::frame) {
                        add("width", flex_.minWidth);
                        add("height", flex_.minHeight);
                    } else {
                        add("minWidth", flex_.minWidth);
                        add("idealWidth", flex_.idealWidth);
                        add("maxWidth", flex_.maxWidth);
                        add("minHeight", flex_.minHeight);
                        add("idealHeight", flex_.idealHeight);
                        add("maxHeight", flex_.maxHeight);
                    }
                    line += "(" + parts + ")";
                    break;
                }
                case ModifierKind::font:
                    line += "(" + font_.description() + ")";
                    break;
                case ModifierKind::foregroundColor:
                case ModifierKind::border:
                case ModifierKind::shadow:
                    line +=
                        "(" + color_->description() +
                        (v.modifier == ModifierKind::foregroundColor ? "" : ", " + num(number_)) +
                        ")";
                    break;
                case ModifierKind::opacity: {
                    line += "(" + num(number_);
                    double shown = presentedOpacity();
                    if (shown != number_) line += ", now " + num(shown);
                    line += ")";
                    break;
                }
                case ModifierKind::animation:
                    line += "(" +
                            (animation_ ? num(animation_->duration) + " s" : std::string("none")) +
                            ", value: " + text_ + ")";
                    break;
                case ModifierKind::cornerRadius:
                case ModifierKind::clipShape:
                case ModifierKind::tracking:
                case ModifierKind::minimumScaleFactor:
                case ModifierKind::tag:
                case ModifierKind::aspectRatio:
                    line += "(" + num(number_) + ")";
                    break;
                case ModifierKind::lineLimit:
                    line += "(" + (lineLimit_ ? std::to_string(*lineLimit_) : "none") + ")";
                    break;
                case ModifierKind::accessibilityLabel:
                    line += "(" + quote(*accessibilityLabel_) + ")";
                    break;
                case ModifierKind::accessibilityHint:
                    line += "(" + quote(*accessibilityHint_) + ")";
                    break;
                case ModifierKind::accessibilityHidden:
                    line += std::string("(") + (accessibilityHidden_ ? "true" : "false") + ")";
                    break;
                case ModifierKind::disabled:
                    line += std::string("(") + (number_ != 0 ? "true" : "false") + ")";
                    break;
                case ModifierKind::buttonStyle:
                case ModifierKind::toggleStyle:
                case ModifierKind::pickerStyle:
                case ModifierKind::help:
                    line += "(" + text_ + ")";
                    break;
                default:
                    break;
            }
            break;
        default:
            break;
    }
    return line + " " + rect(frame_);
}

bool RenderNode::isAccessibilityHidden() const {
    for (const RenderNode* n = this; n; n = n->parent_)
        if (n->accessibilityHidden_) return true;
    return false;
}

bool RenderNode::isOn() const {
    return node_->isOn && node_->isOn->get();
}

std::optional<std::int64_t> RenderNode::selectedTag() const {
    if (!node_->selection) return std::nullopt;
    auto current = node_->selection->get();
    for (const auto& option : options_)
        if (option.tag == current) return current;
    return std::nullopt;
}

std::optional<std::string> RenderNode::selectedTitle() const {
    auto tag = selectedTag();
    if (!tag) return std::nullopt;
    for (const auto& option : options_)
        if (option.tag == *tag) return option.title;
    return std::nullopt;
}

double RenderNode::presentedOpacity() const {
    if (kind_ != "opacity" || !host_) return 1;
    return host_->presentedOpacity(path_);
}

double RenderNode::effectiveOpacity() const {
    double value = 1;
    for (const RenderNode* n = this; n; n = n->parent_)
        if (n->kind_ == "opacity") value *= n->presentedOpacity();
    return value;
}

RenderNode* RenderNode::find(const std::function<bool(const RenderNode&)>& predicate) {
    if (predicate(*this)) return this;
    for (auto& child : children_)
        if (auto* found = child->find(predicate)) return found;
    return nullptr;
}

RenderNode* RenderNode::ancestor(const std::string& kind) const {
    for (auto* p = parent_; p; p = p->parent_)
        if (p->kind_ == kind) return p;
    return nullptr;
}

// ---------------------------------------------------------------------------
// NSHostingView

Class NSHostingView::runtimeClass() {
    static Class cls =
        ClassBuilder<NSHostingView>("NSHostingView", NSView::runtimeClass()).registerClass();
    return cls;
}

NSHostingView::NSHostingView(View rootView, NSRect frame)
    : NSView(frame, runtimeClass()), rootView_(std::move(rootView)) {
    hosts().push_back(this);
}

NSHostingView::~NSHostingView() {
    auto& list = hosts();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void NSHostingView::setRootView(View rootView) {
    rootView_ = std::move(rootView);
    update();
}

void NSHostingView::layout() {
    update();
}

double NSHostingView::presentedOpacity(const std::string& path) const {
    auto it = opacities_.find(path);
    if (it == opacities_.end()) return 1;
    const auto& s = it->second;
    if (!s.animation || s.animation->duration <= 0) return s.target;
    double fraction = (now() - s.start) / s.animation->duration;
    if (fraction >= 1) return s.target;
    return s.from + (s.target - s.from) * s.animation->progress(fraction);
}

void NSHostingView::update() {
    if (updating_) return;
    updating_ = true;
    needsUpdate_ = false;
    ++updateCount_;
    observed_.clear();
    usedNativeViews_.clear();
    RenderBuilder builder(*this);
    auto root = builder.build(rootView_, nullptr, "0");
    NSSize bounds = frame().size;
    NSSize s = builder.size(*root, {bounds.width, bounds.height});
    builder.place(*root, aligned({{0, 0}, bounds}, s, {}));
    root_ = std::move(root);
    for (auto it = nativeViews_.begin(); it != nativeViews_.end();) {
        if (usedNativeViews_.count(it->first)) {
            ++it;
        } else {
            if (it->second) it->second->removeFromSuperview();
            it = nativeViews_.erase(it);
        }
    }
    subscriptions_.clear();
    std::weak_ptr<NSObject> weak = weak_from_this();
    std::vector<const ObservableObject*> seen;
    for (const auto& object : observed_) {
        if (std::find(seen.begin(), seen.end(), object.get()) != seen.end()) continue;
        seen.push_back(object.get());
        subscriptions_.push_back(object->objectWillChange()->sink([weak] {
            if (auto self = std::static_pointer_cast<NSHostingView>(weak.lock()))
                self->setNeedsUpdate();
        }));
    }
    updating_ = false;
}

void NSHostingView::updateIfNeeded() {
    if (needsUpdate_ || !root_) update();
}

void NSHostingView::setNeedsUpdate() {
    needsUpdate_ = true;
    if (scheduled_) return;
    std::weak_ptr<NSObject> weak = weak_from_this();
    if (weak.expired()) return;
    scheduled_ = true;
    DispatchQueue::main()->async([weak] {
        if (auto self = std::static_pointer_cast<NSHostingView>(weak.lock())) {
            self->scheduled_ = false;
            self->updateIfNeeded();
        }
    });
}

NSSize NSHostingView::minimumContentSize() const {
    auto* self = const_cast<NSHostingView*>(this);
    self->updateIfNeeded();
    RenderBuilder builder(*self);
    return builder.size(*self->root_, {0.0, 0.0});
}

NSSize NSHostingView::maximumContentSize() const {
    auto* self = const_cast<NSHostingView*>(this);
    self->updateIfNeeded();
    RenderBuilder builder(*self);
    NSSize s = builder.size(*self->root_, {infinity, infinity});
    return {std::min(s.width, 1e9), std::min(s.height, 1e9)};
}

NSSize NSHostingView::fittingSize() const {
    auto* self = const_cast<NSHostingView*>(this);
    self->updateIfNeeded();
    RenderBuilder builder(*self);
    return builder.size(*self->root_, {});
}

RenderNode* NSHostingView::root() {
    updateIfNeeded();
    return root_.get();
}

std::string NSHostingView::dump() {
    std::string out;
    std::function<void(const RenderNode&, int)> walk = [&](const RenderNode& n, int depth) {
        out += std::string(static_cast<std::size_t>(depth) * 2, ' ') + n.describe() + "\n";
        for (const auto& child : n.children()) walk(*child, depth + 1);
    };
    if (auto* r = root()) walk(*r, 0);
    return out;
}

RenderNode* NSHostingView::find(const std::string& label) {
    auto* r = root();
    if (!r) return nullptr;
    return r->find([&](const RenderNode& n) {
        if (n.accessibilityLabel() && *n.accessibilityLabel() == label) return true;
        const auto& k = n.kind();
        return (k == "Text" || k == "Button" || k == "Toggle" || k == "Picker") &&
               n.text() == label;
    });
}

std::vector<RenderNode*> NSHostingView::findAll(
    const std::function<bool(const RenderNode&)>& predicate) {
    std::vector<RenderNode*> found;
    std::function<void(RenderNode&)> walk = [&](RenderNode& n) {
        if (predicate(n)) found.push_back(&n);
        for (auto& child : n.children()) walk(*child);
    };
    if (auto* r = root()) walk(*r);
    return found;
}

namespace {

RenderNode* control(NSHostingView& host, const std::string& kind, const std::string& label) {
    auto* r = host.root();
    if (!r) return nullptr;
    auto* found =
        r->find([&](const RenderNode& n) { return n.kind() == kind && n.text() == label; });
    if (found) return found;
    auto* labelled = r->find([&](const RenderNode& n) {
        return n.accessibilityLabel() && *n.accessibilityLabel() == label;
    });
    if (!labelled) return nullptr;
    return labelled->find([&](const RenderNode& n) { return n.kind() == kind; });
}

// Every control of the kind under the label, in reading order.
std::vector<RenderNode*> controls(NSHostingView& host, const std::string& kind,
                                  const std::string& label) {
    auto found =
        host.findAll([&](const RenderNode& n) { return n.kind() == kind && n.text() == label; });
    if (!found.empty()) return found;
    for (auto* labelled : host.findAll([&](const RenderNode& n) {
             return n.accessibilityLabel() && *n.accessibilityLabel() == label;
         }))
        if (auto* c = labelled->find([&](const RenderNode& n) { return n.kind() == kind; }))
            found.push_back(c);
    return found;
}

}  // namespace

bool NSHostingView::click(const std::string& label, std::size_t occurrence) {
    auto buttons = controls(*this, "Button", label);
    if (occurrence == 0 || occurrence > buttons.size()) return false;
    auto* button = buttons[occurrence - 1];
    if (button->isDisabled()) return false;
    auto action = button->node_->action;
    if (action) action();
    update();
    return true;
}

bool NSHostingView::toggle(const std::string& label) {
    auto* node = control(*this, "Toggle", label);
    if (!node || node->isDisabled()) return false;
    auto binding = *node->node_->isOn;
    binding.set(!binding.get());
    update();
    return true;
}

bool NSHostingView::pick(const std::string& pickerLabel, const std::string& optionTitle) {
    auto* node = control(*this, "Picker", pickerLabel);
    if (!node || node->isDisabled()) return false;
    for (const auto& option : node->options()) {
        if (option.title != optionTitle) continue;
        auto binding = *node->node_->selection;
        binding.set(option.tag);
        update();
        return true;
    }
    return false;
}

namespace sim {

std::shared_ptr<NSHostingView> Views::host(const NSWindow& window) {
    std::function<std::shared_ptr<NSHostingView>(const std::shared_ptr<NSView>&)> search =
        [&](const std::shared_ptr<NSView>& view) -> std::shared_ptr<NSHostingView> {
        if (!view) return nullptr;
        if (auto host = std::dynamic_pointer_cast<NSHostingView>(view)) return host;
        for (const auto& sub : view->subviews())
            if (auto host = search(sub)) return host;
        return nullptr;
    };
    return search(window.contentView());
}

std::string Views::dump(const NSWindow& window) {
    auto h = host(window);
    return h ? h->dump() : std::string();
}

bool Views::click(const NSWindow& window, const std::string& label, std::size_t occurrence) {
    auto h = host(window);
    return h && h->click(label, occurrence);
}

bool Views::toggle(const NSWindow& window, const std::string& label) {
    auto h = host(window);
    return h && h->toggle(label);
}

bool Views::pick(const NSWindow& window, const std::string& pickerLabel,
                 const std::string& optionTitle) {
    auto h = host(window);
    return h && h->pick(pickerLabel, optionTitle);
}

void ViewImages::setSize(const std::string& name, NSSize size) {
    imageSizes()[name] = size;
}

NSSize ViewImages::size(const std::string& name) {
    auto it = imageSizes().find(name);
    return it == imageSizes().end() ? NSSize{32, 32} : it->second;
}

void ViewImages::reset() {
    imageSizes().clear();
}

}  // namespace sim
