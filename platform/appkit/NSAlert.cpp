#include "platform/appkit/NSAlert.h"

#include <mutex>

namespace {

struct State {
    std::mutex mutex;
    std::vector<sim::ShownAlert> shown;
    std::function<NSModalResponse(NSAlert&)> responder;
};

State& state() {
    static auto* s = new State();
    return *s;
}

}  // namespace

NSModalResponse NSAlert::runModal() {
    std::function<NSModalResponse(NSAlert&)> responder;
    {
        std::lock_guard lock(state().mutex);
        state().shown.push_back(
            {messageText_, informativeText_, buttons_, style_, showsHelp_, !delegate_.expired()});
        responder = state().responder;
    }
    if (responder) return responder(*this);
    return NSAlertFirstButtonReturn;
}

namespace sim {

std::vector<ShownAlert> Alerts::shown() {
    std::lock_guard lock(state().mutex);
    return state().shown;
}

void Alerts::clear() {
    std::lock_guard lock(state().mutex);
    state().shown.clear();
}

void Alerts::setResponder(std::function<NSModalResponse(NSAlert&)> responder) {
    std::lock_guard lock(state().mutex);
    state().responder = std::move(responder);
}

void Alerts::resetResponder() {
    setResponder(nullptr);
}

}  // namespace sim
