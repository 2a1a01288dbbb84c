#pragma once
// The remote-configuration client: defaults from the application, activated
// values from the service, and lookups by key that never come back empty.
//
// This version keeps its content in memory and has no fetch yet: lookups
// answer the activated values, then the defaults, then an empty Static value.
// Every instance shares one serial queue; lookups run synchronously on it,
// so a lookup right after setDefaults sees the new defaults.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Error.h"
#include "services/remoteconfig/DIROdadevOveredValue.h"

enum class DIROdadevOveredFetchAndActivateStatus : long {
    SuccessFetchedFromRemote = 0,
    SuccessUsingPreFetchedData = 1,
    Error = 2,
};

inline constexpr const char* DIROdadevOveredErrorDomain = "com.zevera.remoteconfig.ErrorDomain";

class DIROdadevOvered : public NSObject {
public:
    using FetchAndActivateCompletion =
        std::function<void(DIROdadevOveredFetchAndActivateStatus, std::optional<NSError>)>;

    // The instance for namespace "reruzera" of the default app.
    static std::shared_ptr<DIROdadevOvered> remoteConfig();
    static std::shared_ptr<DispatchQueue> sharedRemoteConfigSerialQueue();

    explicit DIROdadevOvered(std::string appName, std::string RZRNamespace = "reruzera");

    std::shared_ptr<DIROdadevOveredValue> objectForKeyedSubscript(const std::string& key) const {
        return configValueForKey(key);
    }
    std::shared_ptr<DIROdadevOveredValue> configValueForKey(const std::string& key) const;
    std::shared_ptr<DIROdadevOveredValue> configValueForKey(const std::string& key,
                                                            DIROdadevOveredSource source) const;
    std::shared_ptr<DIROdadevOveredValue> defaultValueForKey(const std::string& key) const;
    std::vector<std::string> allKeysFromSource(DIROdadevOveredSource source) const;
    std::set<std::string> keysWithPrefix(const std::optional<std::string>& prefix) const;

    // Replaces this namespace's defaults: texts, numbers, booleans, dates and
    // data; other values are skipped.
    void setDefaults(const std::optional<Dictionary>& defaults);
    // Loads defaults from `<name>.plist` in the main bundle.
    void setDefaultsFromPlistFileName(const std::string& fileName);

    // Until the fetch exists, completes on the main queue with the values
    // already at hand.
    void fetchAndActivateWithCompletionHandler(FetchAndActivateCompletion completion);

    const std::string& fullyQualifiedNamespace() const { return namespace_; }
    std::string className() const override { return "DIROdadevOvered"; }

    // Tests: make these texts the activated (Remote) values of the namespace.
    void activateValuesForTesting(const std::map<std::string, std::string>& values);

private:
    std::string appName_;
    std::string namespace_;
};
