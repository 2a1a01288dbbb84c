#pragma once
// Screens. By default one built-in display; sim::Screens replaces the set.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/appkit/Geometry.h"
#include "platform/foundation/Object.h"

inline constexpr const char* NSApplicationDidChangeScreenParametersNotification =
    "NSApplicationDidChangeScreenParametersNotification";

class NSScreen : public NSObject {
  public:
    NSScreen(std::string localizedName, NSRect frame)
        : localizedName_(std::move(localizedName)), frame_(frame) {}
    static std::vector<std::shared_ptr<NSScreen>> screens();
    static std::shared_ptr<NSScreen> mainScreen();  // the first screen, if any
    const std::string& localizedName() const { return localizedName_; }
    NSRect frame() const { return frame_; }
    NSRect visibleFrame() const { return frame_; }
    std::string className() const override { return "NSScreen"; }

  private:
    std::string localizedName_;
    NSRect frame_;
};

namespace sim {

// Setting the screens posts the screen-parameters notification on the
// default centre.
struct Screens {
    static void set(const std::vector<std::pair<std::string, NSRect>>& screens);
    static void reset();
};

}  // namespace sim
