#pragma once
// The view that hosts declarative content in a window. It evaluates its root
// view, lays it out in its bounds (the content sized for the bounds and
// centred in them) and keeps the result as render nodes. It redraws on the
// next turn of the main queue after an observed object or view state
// announced a change, and at once when its size changes or it is inspected.
// Its minimum and maximum content sizes are those of its content, so a
// window keeps to them while the user resizes it. Native views of the
// content become its subviews, placed at their frames (the hosting view is
// flipped: y grows downwards). Main thread only.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/NSView.h"
#include "platform/appkit/NSWindow.h"
#include "platform/swiftui/RenderNode.h"
#include "platform/swiftui/View.h"

class NSHostingView : public NSView {
  public:
    static Class runtimeClass();
    explicit NSHostingView(View rootView, NSRect frame = {});
    ~NSHostingView() override;

    const View& rootView() const { return rootView_; }
    void setRootView(View rootView);

    bool isFlipped() const override { return true; }
    void layout() override;
    NSSize minimumContentSize() const override;
    NSSize maximumContentSize() const override;
    // The content's ideal size.
    NSSize fittingSize() const;

    // Evaluates and lays out the content now.
    void update();
    void updateIfNeeded();
    void setNeedsUpdate();
    bool needsUpdate() const { return needsUpdate_; }
    std::size_t updateCount() const { return updateCount_; }

    // Inspection; each brings the content up to date first.
    RenderNode* root();
    // One line per node, indented by two blanks per level.
    std::string dump();
    // The first node (depth first) whose text or accessibility label is
    // the label.
    RenderNode* find(const std::string& label);
    std::vector<RenderNode*> findAll(const std::function<bool(const RenderNode&)>& predicate);

    // The user's actions, by label (a control's own texts or an
    // accessibility label around it). False when there is no such enabled
    // control, or no such option. The content is updated afterwards. Where
    // several buttons share a label, `occurrence` counts them from 1 in
    // reading order.
    bool click(const std::string& label, std::size_t occurrence = 1);
    bool toggle(const std::string& label);
    bool pick(const std::string& pickerLabel, const std::string& optionTitle);

  private:
    friend class RenderBuilder;
    friend class RenderNode;
    struct OpacityState {
        double target = 1;
        double from = 1;
        double start = 0;  // seconds on the clock
        std::optional<Animation> animation;
    };
    double presentedOpacity(const std::string& path) const;

    View rootView_;
    std::unique_ptr<RenderNode> root_;
    bool needsUpdate_ = true;
    bool scheduled_ = false;
    bool updating_ = false;
    std::size_t updateCount_ = 0;
    std::vector<AnyCancellable> subscriptions_;
    std::vector<std::shared_ptr<ObservableObject>> observed_;
    std::map<std::string, OpacityState> opacities_;
    std::map<std::string, std::string> animationValues_;
    std::map<std::string, std::shared_ptr<NSView>> nativeViews_;
    std::map<std::string, std::shared_ptr<NSView>> usedNativeViews_;
};

namespace sim {

// Declarative content in windows, by window (its content view or the first
// hosting view inside it).
struct Views {
    static std::shared_ptr<NSHostingView> host(const NSWindow& window);
    // Empty when the window hosts no declarative content.
    static std::string dump(const NSWindow& window);
    static bool click(const NSWindow& window, const std::string& label, std::size_t occurrence = 1);
    static bool toggle(const NSWindow& window, const std::string& label);
    static bool pick(const NSWindow& window, const std::string& pickerLabel,
                     const std::string& optionTitle);
};

// The natural sizes of named images (32 × 32 unless set).
struct ViewImages {
    static void setSize(const std::string& name, NSSize size);
    static NSSize size(const std::string& name);
    static void reset();
};

}  // namespace sim
