#include "platform/combine/Combine.h"

struct AnyCancellable::State {
    std::mutex mutex;
    std::function<void()> onCancel;

    void run() {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(mutex);
            fn.swap(onCancel);
        }
        if (fn) fn();
    }
    ~State() { run(); }
};

AnyCancellable::AnyCancellable(std::function<void()> cancel) {
    if (cancel) {
        state_ = std::make_shared<State>();
        state_->onCancel = std::move(cancel);
    }
}

void AnyCancellable::cancel() {
    if (state_) state_->run();
}

bool AnyCancellable::isActive() const {
    if (!state_) return false;
    std::lock_guard<std::mutex> lock(state_->mutex);
    return static_cast<bool>(state_->onCancel);
}

namespace Subscriptions {
namespace {
class EmptySubscription final : public Subscription {
  public:
    void request(Subscribers::Demand) override {}
    void cancel() override {}
};
}  // namespace

std::shared_ptr<Subscription> empty() {
    static const auto shared = std::make_shared<EmptySubscription>();
    return shared;
}
}  // namespace Subscriptions
