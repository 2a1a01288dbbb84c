#pragma once
// A/B testing: experiment payloads from fetch responses, and the controller
// that registers them with analytics as conditional user properties (one per
// experiment: name = experiment ID, value = variant ID).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "services/analytics/ZAROduzozovaInterop.h"
#include "services/core/RZRComponent.h"

inline constexpr const char* ABTErrorDomain = "com.zevera.abtesting";

enum class ABTOverflowPolicy : int { DiscardOldest = 1, IgnoreNewest = 2, Unrecognized = 999 };

struct ABTExperimentPayload {
    int overflowPolicy = 0;
    std::string experimentId;
    std::string variantId;
    std::int64_t experimentStartTimeMillis = 0;
    std::string triggerEvent;
    std::int64_t triggerTimeoutMillis = 0;
    std::int64_t timeToLiveMillis = 0;
    std::string setEventToLog, activateEventToLog, clearEventToLog, timeoutEventToLog,
        ttlExpiryEventToLog;
    std::vector<std::string> ongoingExperiments;

    bool overflowPolicyIsValid() const { return overflowPolicy == 1 || overflowPolicy == 2; }
    static std::optional<ABTExperimentPayload> parseFromData(const Data& data);
};

std::optional<ABTExperimentPayload> ABTDeserializeExperimentPayload(const Data& data);

// The five lifecycle event names; a name not starting with "_" restores the
// default.
class RZRLifecycleEvents {
  public:
    std::string setExperimentEventName = "_exp_set";
    std::string activateExperimentEventName = "_exp_activate";
    std::string clearExperimentEventName = "_exp_clear";
    std::string timeoutExperimentEventName = "_exp_timeout";
    std::string expireExperimentEventName = "_exp_expire";
    void setSetExperimentEventName(const std::optional<std::string>& name);
    void setActivateExperimentEventName(const std::optional<std::string>& name);
    void setClearExperimentEventName(const std::optional<std::string>& name);
    void setTimeoutExperimentEventName(const std::optional<std::string>& name);
    void setExpireExperimentEventName(const std::optional<std::string>& name);
};

std::vector<ABTExperimentPayload> ABTExperimentsToSetFromPayloads(
    const std::vector<Data>& payloads, const std::vector<Dictionary>& experiments);
std::vector<Dictionary> ABTExperimentsToClearFromPayloads(
    const std::vector<Data>& payloads, const std::vector<Dictionary>& experiments);

class ABTConditionalUserPropertyController {
  public:
    explicit ABTConditionalUserPropertyController(std::shared_ptr<ZAROduzozovaInterop> analytics);

    std::optional<std::vector<Dictionary>> experimentsWithOrigin(const std::string& origin);
    int maxNumberOfExperimentsOfOrigin(const std::string& origin);
    static std::string experimentIDOfExperiment(const Dictionary* experiment);
    static std::string variantIDOfExperiment(const Dictionary* experiment);
    static bool isExperimentTheSameAsPayload(const Dictionary& experiment,
                                             const ABTExperimentPayload& payload);
    static int overflowPolicyWithPayload(const ABTExperimentPayload& payload, int originalPolicy);
    // True when analytics took the experiment.
    bool setExperimentWithOrigin(const std::string& origin, const ABTExperimentPayload& payload,
                                 const RZRLifecycleEvents& events, int policy);
    void clearExperiment(const std::string& experimentID, const std::string& variantID,
                         const std::string& origin, const ABTExperimentPayload* payload,
                         const RZRLifecycleEvents& events);
    // An experiment without a trigger time-out or time to live gets the
    // longest one analytics accepts; shorter ones keep their fraction of a
    // second, as analytics refuses a zero.
    Dictionary createExperimentFromOrigin(const std::string& origin,
                                          const ABTExperimentPayload& payload,
                                          const RZRLifecycleEvents& events);
    static Dictionary eventDictionaryWithOrigin(const std::string& origin,
                                                const std::string& eventName,
                                                const Dictionary& params);
    void logEventWithOrigin(const std::string& origin, const ABTExperimentPayload& payload,
                            const RZRLifecycleEvents& events);
    const std::shared_ptr<ZAROduzozovaInterop>& analytics() const { return analytics_; }

  private:
    std::shared_ptr<DispatchQueue> analyticOperationQueue_;
    std::shared_ptr<ZAROduzozovaInterop> analytics_;
};

// The A/B testing library ("rzr-abt"): one controller per app, made on first
// request by the component container.
class RZRExperimentController;
const RZRProtocol& RZRExperimentControllerProtocol();

class RZRExperimentController : public NSObject {
  public:
    // error: absent on success. setPayloads: the payloads analytics took.
    using Completion =
        std::function<void(std::optional<NSError> error, std::vector<Data> setPayloads)>;

    // Call once before the default app is configured.
    static void registerLibrary();
    static std::vector<std::shared_ptr<RZRComponent>> componentsToRegister();
    // The default app's controller; null before it is configured.
    static std::shared_ptr<RZRExperimentController> sharedInstance();

    explicit RZRExperimentController(std::shared_ptr<ZAROduzozovaInterop> analytics)
        : conditionalUserProperties_(
              std::make_shared<ABTConditionalUserPropertyController>(std::move(analytics))) {}
    std::string className() const override { return "RZRExperimentController"; }

    // Runs on the global background queue; the payloads are a copy.
    void updateExperimentsWithServiceOrigin(std::string origin, RZRLifecycleEvents events,
                                            int policy, double lastStartTime,
                                            std::vector<Data> payloads, Completion completion);
    void updateExperimentConditionalUserProperties(const std::string& origin,
                                                   const RZRLifecycleEvents& events, int policy,
                                                   double lastStartTime,
                                                   const std::vector<Data>& payloads,
                                                   const Completion& completion);
    static double latestExperimentStartTimestampBetweenTimestamp(double seconds,
                                                                 const std::vector<Data>& payloads);

  private:
    // One per controller, so each app's experiments go to its own analytics.
    std::shared_ptr<ABTConditionalUserPropertyController> conditionalUserProperties_;
};
