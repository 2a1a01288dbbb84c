#pragma once
// Stored audience filters: an encoded EventFilter or PropertyFilter message
// with the identifiers and switches it is looked up by.

#include <cstdint>
#include <string>

#include "platform/foundation/Value.h"

class APMEventFilter {
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

    std::int32_t audienceID() const { return audienceID_; }
    std::int32_t filterID() const { return filterID_; }
    const std::string& eventName() const { return eventName_; }
    const Data& data() const { return data_; }
    bool isSessionScoped() const { return sessionScoped_; }
    bool isDynamic() const { return dynamic_; }
    bool isSequence() const { return sequence_; }

  private:
    std::int32_t audienceID_;
    std::int32_t filterID_;
    std::string eventName_;
    Data data_;
    bool sessionScoped_;
    bool dynamic_;
    bool sequence_;
};

class APMPropertyFilter {
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

    std::int32_t audienceID() const { return audienceID_; }
    std::int32_t filterID() const { return filterID_; }
    const std::string& propertyName() const { return propertyName_; }
    const Data& data() const { return data_; }
    bool isSessionScoped() const { return sessionScoped_; }
    bool isDynamic() const { return dynamic_; }
    bool isSequence() const { return sequence_; }

  private:
    std::int32_t audienceID_;
    std::int32_t filterID_;
    std::string propertyName_;
    Data data_;
    bool sessionScoped_;
    bool dynamic_;
    bool sequence_;
};
