#pragma once
// One remote-configuration value: immutable bytes and the source they came
// from, with typed views computed from the bytes on every call.

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

enum class DIROdadevOveredSource : long { Remote = 0, Default = 1, Static = 2 };

class DIROdadevOveredValue : public NSObject {
  public:
    // A value without data, source Static.
    DIROdadevOveredValue() = default;
    DIROdadevOveredValue(std::optional<Data> data, DIROdadevOveredSource source)
        : data_(std::move(data)), source_(source) {}
    static std::shared_ptr<DIROdadevOveredValue> initWithData(std::optional<Data> data,
                                                              DIROdadevOveredSource source) {
        return std::make_shared<DIROdadevOveredValue>(std::move(data), source);
    }

    // Null for absent data or bytes that are not UTF-8.
    std::optional<std::string> stringValue() const;
    // The longest leading decimal number of the text; 0 when none.
    double numberValue() const;
    // True for texts such as "true", "YES", "t", "1", "007", "-1".
    bool boolValue() const;
    // A dictionary or an array; absent otherwise ("I-RCN000065" logged when
    // there are bytes that do not parse).
    std::optional<Value> JSONValue() const;
    const std::optional<Data>& dataValue() const { return data_; }

    DIROdadevOveredSource source() const { return source_; }
    void setSource(DIROdadevOveredSource source) { source_ = source; }

    std::string className() const override { return "DIROdadevOveredValue"; }
    std::string debugDescription() const;
    std::shared_ptr<DIROdadevOveredValue> copy() const {
        return std::make_shared<DIROdadevOveredValue>(data_, source_);
    }

  private:
    std::optional<Data> data_;
    DIROdadevOveredSource source_ = DIROdadevOveredSource::Static;
};

// The values of one namespace by key.
using RCNKeyedValues = std::unordered_map<std::string, std::shared_ptr<DIROdadevOveredValue>>;
// Keys and values as rows, to store; the values are shared with the content,
// which never changes their bytes.
using RCNKeyedRows =
    std::vector<std::pair<std::string, std::shared_ptr<const DIROdadevOveredValue>>>;

// The minimum fetch interval and the fetch time-out of an instance.
class DIROdadevOveredSettings : public NSObject {
  public:
    double minimumFetchInterval() const { return minimumFetchInterval_; }
    void setMinimumFetchInterval(double seconds) { minimumFetchInterval_ = seconds; }
    double fetchTimeout() const { return fetchTimeout_; }
    void setFetchTimeout(double seconds) { fetchTimeout_ = seconds; }
    std::string className() const override { return "DIROdadevOveredSettings"; }

  private:
    double minimumFetchInterval_ = 43200.0;
    double fetchTimeout_ = 60.0;
};
