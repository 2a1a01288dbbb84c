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

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "services/analytics/ZAROduzozovaInterop.h"

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
    explicit ABTConditionalUserPropertyController(std::shared_ptr<ZAROduzozovaInterop> analytics)
        : analytics_(std::move(analytics)) {}
    std::optional<std::vector<Dictionary>> experimentsWithOrigin(const std::string& origin);
    int maxNumberOfExperimentsOfOrigin(const std::string& origin);
    static std::string experimentIDOfExperiment(const Dictionary* experiment);
    static std::string variantIDOfExperiment(const Dictionary* experiment);
    static bool isExperimentTheSameAsPayload(const Dictionary& experiment,
                                             const ABTExperimentPayload& payload);
    static int overflowPolicyWithPayload(const ABTExperimentPayload& payload, int originalPolicy);
    // True when the experiment went to analytics.
    bool setExperimentWithOrigin(const std::string& origin, const ABTExperimentPayload& payload,
                                 const RZRLifecycleEvents& events, int policy);
    void clearExperiment(const std::string& experimentID, const std::string& variantID,
                         const std::string& origin, const ABTExperimentPayload* payload,
                         const RZRLifecycleEvents& events);
    Dictionary createExperimentFromOrigin(const std::string& origin,
                                          const ABTExperimentPayload& payload,
                                          const RZRLifecycleEvents& events);
    static Dictionary eventDictionaryWithOrigin(const std::string& origin,
                                                const std::string& eventName,
                                                const Dictionary& params);
    void logEventWithOrigin(const std::string& origin, const ABTExperimentPayload& payload,
                            const RZRLifecycleEvents& events);

  private:
    std::shared_ptr<ZAROduzozovaInterop> analytics_;
};

class RZRExperimentController {
  public:
    // error: absent on success. latestSetStartSeconds: the latest start time
    // (whole seconds) of the experiments set, or lastStartTime when none.
    using Completion =
        std::function<void(std::optional<NSError> error, double latestSetStartSeconds)>;

    explicit RZRExperimentController(std::shared_ptr<ZAROduzozovaInterop> analytics)
        : analytics_(std::move(analytics)) {}
    void setAnalytics(std::shared_ptr<ZAROduzozovaInterop> analytics) {
        analytics_ = std::move(analytics);
    }

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
    std::shared_ptr<ZAROduzozovaInterop> analytics_;
};
