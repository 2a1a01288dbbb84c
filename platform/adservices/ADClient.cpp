#include "platform/adservices/ADClient.h"

#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/runtime/Runtime.h"

namespace {

std::mutex& requestsMutex() {
    static std::mutex mutex;
    return mutex;
}

std::deque<ADAttributionHandler>& pendingRequests() {
    static std::deque<ADAttributionHandler> requests;
    return requests;
}

class ADClient : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<ADClient>("ADClient")
                .classMethod("sharedClient", [](RuntimeObject&) -> id { return sharedClient(); })
                .method("requestAttributionDetailsWithBlock:",
                        &ADClient::requestAttributionDetailsWithBlock)
                .registerClass();
        return cls;
    }
    ADClient() : RuntimeObject(runtimeClass()) {}

    static std::shared_ptr<ADClient> sharedClient() {
        static auto client = std::make_shared<ADClient>();
        return client;
    }

    void requestAttributionDetailsWithBlock(ADAttributionHandler handler) {
        std::lock_guard lock(requestsMutex());
        pendingRequests().push_back(std::move(handler));
    }
};

}  // namespace

namespace sim {

void installADClient() {
    ADClient::runtimeClass();
}

std::size_t pendingADAttributionRequests() {
    std::lock_guard lock(requestsMutex());
    return pendingRequests().size();
}

bool answerADAttributionRequest(const std::optional<Dictionary>& details,
                                const std::optional<NSError>& error) {
    ADAttributionHandler handler;
    {
        std::lock_guard lock(requestsMutex());
        if (pendingRequests().empty()) return false;
        handler = std::move(pendingRequests().front());
        pendingRequests().pop_front();
    }
    if (handler) handler(details, error);
    return true;
}

void resetADClient() {
    std::lock_guard lock(requestsMutex());
    pendingRequests().clear();
}

}  // namespace sim
