#include "platform/bezel/BHBezelNotification.h"

#include <mutex>

#include "platform/dispatch/Clock.h"

namespace {

std::mutex& mutex() {
    static std::mutex m;
    return m;
}
std::vector<sim::ShownBezel>& records() {
    static auto* r = new std::vector<sim::ShownBezel>();
    return *r;
}

double now() {
    return sim::toSeconds(sim::Clock::now().time_since_epoch());
}

class RecordedBezel : public BezelDelegate {
  public:
    explicit RecordedBezel(std::size_t index) : index_(index) {}
    void dismiss() override {
        std::lock_guard lock(mutex());
        auto& r = records()[index_];
        if (now() < r.shownAt + r.fadeIn + r.timeToLive + r.fadeOut) r.dismissed = true;
    }

  private:
    std::size_t index_;
};

}  // namespace

NSPoint BezelParameters::defaultLocation() {
    return {0.5, 0.2};
}
NSSize BezelParameters::defaultSize() {
    return {200, 200};
}
double BezelParameters::defaultCornerRadius() {
    return 18;
}
std::string BezelParameters::defaultBackgroundTint() {
    return "#00000080";
}
std::string BezelParameters::defaultMessageLabelFont() {
    return "system-18";
}
std::string BezelParameters::defaultMessageLabelColor() {
    return "#FFFFFF";
}

std::shared_ptr<BezelDelegate> BHNotificationBezel::show(
    const std::string& messageText, const std::shared_ptr<NSImage>& icon, NSPoint, NSSize,
    BezelTimeToLive timeToLive, double fadeIn, double fadeOut, double, const std::string&,
    const std::string&, const std::string&, std::function<void()>) {
    std::lock_guard lock(mutex());
    records().push_back({messageText, icon ? icon->name() : "", icon && icon->isTemplate(),
                         timeToLive.seconds, fadeIn, fadeOut, false, now()});
    return std::make_shared<RecordedBezel>(records().size() - 1);
}

namespace sim {

std::vector<ShownBezel> Bezels::shown() {
    std::lock_guard lock(mutex());
    return records();
}

std::optional<ShownBezel> Bezels::current() {
    std::lock_guard lock(mutex());
    if (records().empty()) return std::nullopt;
    const auto& last = records().back();
    if (last.dismissed || now() >= last.shownAt + last.fadeIn + last.timeToLive + last.fadeOut)
        return std::nullopt;
    return last;
}

void Bezels::clear() {
    std::lock_guard lock(mutex());
    records().clear();
}

}  // namespace sim
