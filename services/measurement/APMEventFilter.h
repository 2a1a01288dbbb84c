#pragma once
// Stored audience filters: an encoded EventFilter or PropertyFilter message
// with the identifiers and switches it is looked up by. Immutable.

#include <cstdint>
#include <string>

#include "platform/foundation/Value.h"

// What both kinds of stored filter answer.
class APMAudienceFilter {
  public:
    virtual ~APMAudienceFilter() = default;
    virtual std::int32_t audienceID() const = 0;
    virtual std::int32_t filterID() const = 0;
    virtual bool isSessionScoped() const = 0;
    virtual bool isDynamic() const = 0;
    virtual bool isSequence() const = 0;
};

class APMEventFilter : public APMAudienceFilter {
  public:
    APMEventFilter(std::int32_t audienceID, std::int32_t filterID, std::string eventName, Data data,
                   bool sessionScoped, bool dynamic, bool sequence)
        : audienceID_(audienceID),
          filterID_(filterID),
          eventName_(std::move(eventName)),
          data_(std::move(data)),
          sessionScoped_(sessionScoped),
          dynamic_(dynamic),
          sequence_(sequence) {}

    std::int32_t audienceID() const override { return audienceID_; }
    std::int32_t filterID() const override { return filterID_; }
    const std::string& eventName() const { return eventName_; }
    const Data& data() const { return data_; }
    bool isSessionScoped() const override { return sessionScoped_; }
    bool isDynamic() const override { return dynamic_; }
    bool isSequence() const override { return sequence_; }

  private:
    std::int32_t audienceID_;
    std::int32_t filterID_;
    std::string eventName_;
    Data data_;
    bool sessionScoped_;
    bool dynamic_;
    bool sequence_;
};

class APMPropertyFilter : public APMAudienceFilter {
  public:
    APMPropertyFilter(std::int32_t audienceID, std::int32_t filterID, std::string propertyName,
                      Data data, bool sessionScoped, bool dynamic, bool sequence)
        : audienceID_(audienceID),
          filterID_(filterID),
          propertyName_(std::move(propertyName)),
          data_(std::move(data)),
          sessionScoped_(sessionScoped),
          dynamic_(dynamic),
          sequence_(sequence) {}

    std::int32_t audienceID() const override { return audienceID_; }
    std::int32_t filterID() const override { return filterID_; }
    const std::string& propertyName() const { return propertyName_; }
    const Data& data() const { return data_; }
    bool isSessionScoped() const override { return sessionScoped_; }
    bool isDynamic() const override { return dynamic_; }
    bool isSequence() const override { return sequence_; }

  private:
    std::int32_t audienceID_;
    std::int32_t filterID_;
    std::string propertyName_;
    Data data_;
    bool sessionScoped_;
    bool dynamic_;
    bool sequence_;
};
