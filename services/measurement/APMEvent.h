#pragma once
// An analytics event of the measurement library (name, origin, times in
// seconds, typed parameters) and a user attribute; both convert to and from
// their upload messages. Creation validates and sanitises; a refused event
// or attribute is nullopt (the validators log why). Events change only
// through applyParameters, addScreenParameters and the flag setters.

#include <memory>
#include <optional>
#include <string>

#include "services/measurement/APMPBMessage.h"
#include "services/measurement/APMPEvent.h"
#include "services/measurement/APMParameterSanitizer.h"
#include "services/measurement/APMValue.h"

class APMEvent {
  public:
    // `maxPublicEventParams` bounds the custom parameters; nullopt stands for
    // the configured limit. Copies keep the limit the event was made with.
    static std::optional<APMEvent> initWithOrigin(
        const std::string& origin, bool isPublic, const std::string& name, double timestamp,
        double previousTimestamp, const APMRawParameters& parameters,
        std::optional<int64_t> maxPublicEventParams = std::nullopt);
    // Nullopt when the message's "_o" is not a string or the event is
    // refused.
    static std::optional<APMEvent> initWithEventProto(
        const APMPBEvent& proto, std::optional<int64_t> maxPublicEventParams = std::nullopt);
    static std::optional<APMEvent> eventFromEditEvent(const APMPEvent& editEvent);

    std::shared_ptr<APMPBEvent> protoEvent() const;
    // The encoded bytes of protoEvent() (without its name field when
    // `withName` is NO), made straight from the event without building the
    // message objects; nullopt when encoding fails.
    std::optional<Data> encodedProtoEvent(bool withName = true) const;
    APMPEvent editEvent() const;

    std::optional<APMEvent> copy() const;
    std::optional<APMEvent> copyWithPreviousTimestamp(double previousTimestamp) const;
    std::optional<APMEvent> copyWithParameters(const APMRawParameters& parameters) const;

    void applyParameters(const APMRawParameters& parameters);
    bool addScreenParameters(const APMRawParameters& screenParameters);

    bool isConversion() const;
    void setConversion(bool conversion);
    bool isRealtime() const;
    void setRealtime(bool realtime);
    bool isDebug() const;
    void setDebug(bool debug);
    bool shouldValidateParams() const;

    const std::string& origin() const { return origin_; }
    const std::string& name() const { return name_; }
    double timestamp() const { return timestamp_; }
    double previousTimestamp() const { return previousTimestamp_; }
    const APMEventParameters& parameters() const { return parameters_; }
    // The checked values as raw parameters again (to build another event).
    static APMRawParameters raw(const APMEventParameters& parameters);

  private:
    APMEvent() = default;

    APMEventParameters parameters_;
    std::string origin_;
    std::string name_;
    double timestamp_ = 0;
    double previousTimestamp_ = 0;
    int64_t maxPublicEventParams_ = kAPMDefaultMaxPublicEventParams;
};

class APMUserAttribute {
  public:
    static std::optional<APMUserAttribute> initWithOrigin(const std::string& origin,
                                                          const std::string& name,
                                                          const APMValue& value,
                                                          double lastSetTimestamp);
    // A name that is not empty and does not start with "_".
    bool isPublic() const;
    std::shared_ptr<APMPBUserAttribute> protoUserAttribute() const;

    const std::string& origin() const { return origin_; }
    const std::string& name() const { return name_; }
    const APMValue& value() const { return value_; }
    double lastSetTimestamp() const { return lastSetTimestamp_; }

  private:
    APMUserAttribute(std::string origin, std::string name, APMValue value, double timestamp)
        : origin_(std::move(origin)),
          name_(std::move(name)),
          value_(std::move(value)),
          lastSetTimestamp_(timestamp) {}
    std::string origin_;
    std::string name_;
    APMValue value_;
    double lastSetTimestamp_;
};

// The upload form of event parameters; arrays become nested parameters
// one level deep.
std::vector<APMPBObject> APMEventParamsToProto(const APMEventParameters& parameters,
                                               const std::string& eventName, bool nested);
// Plain objects for the script runtime; arrays only at the top level.
Dictionary APMEventParamsToObjects(const APMEventParameters& parameters, bool nested);
