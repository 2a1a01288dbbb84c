#include "services/remoteconfig/RCNConfigContent.h"

#include <charconv>
#include <cmath>
#include <ctime>
#include <mutex>
#include <stdexcept>

#include "platform/bundle/NSBundle.h"
#include "services/remoteconfig/RCNLog.h"

namespace {

Data bytes(const std::string& text) {
    return Data(text.begin(), text.end());
}

std::string numberText(const Value& number) {
    if (number.type() == Value::Type::Int) return std::to_string(*number.asInt());
    if (number.type() == Value::Type::UInt) return std::to_string(*number.asUInt());
    double d = *number.asDouble();
    if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15)
        return std::to_string(static_cast<long long>(d));
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
    return ec == std::errc() ? std::string(buffer, end) : "0";
}

std::string dateText(const Date& date) {
    std::time_t seconds = static_cast<std::time_t>(std::floor(date.unixSeconds()));
    std::tm tm{};
    localtime_r(&seconds, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &tm);
    return buffer;
}

// The bytes a default is kept as; absent for kinds that are not kept.
std::optional<Data> defaultBytes(const Value& value) {
    if (const Data* data = value.asData()) return *data;
    if (auto text = value.asString()) return bytes(*text);
    if (auto flag = value.asBool()) return bytes(*flag ? "1" : "0");
    if (value.isNumber()) return bytes(numberText(value));
    if (auto date = value.asDate()) return bytes(dateText(*date));
    return std::nullopt;
}

}  // namespace

namespace {
std::mutex sharedMutex;
std::shared_ptr<RCNConfigContent>& sharedSlot() {
    static auto* slot = new std::shared_ptr<RCNConfigContent>();
    return *slot;
}
}  // namespace

std::shared_ptr<RCNConfigContent> RCNConfigContent::sharedInstance() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    auto& slot = sharedSlot();
    if (!slot) slot = std::make_shared<RCNConfigContent>(RCNConfigDBManager::sharedInstance());
    return slot;
}

void RCNConfigContent::resetSharedInstanceForTesting() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    sharedSlot().reset();
}

RCNConfigContent::RCNConfigContent(std::shared_ptr<RCNConfigDBManager> db)
    : db_(std::move(db)), group_(std::make_shared<DispatchGroup>()) {
    bundleIdentifier_ = NSBundle::mainBundle()->bundleIdentifier();
    if (bundleIdentifier_.empty())
        RCNLog(OSLogType::Default, "I-RCN000038",
               "Main bundle identifier is missing. Remote Config might not work properly.");
    loadConfigFromMainTable();
}

void RCNConfigContent::loadConfigFromMainTable() {
    if (!db_) return;
    if (isDatabaseLoadAlreadyInitiated_)
        throw std::logic_error("Database load has already been initiated");
    isDatabaseLoadAlreadyInitiated_ = true;
    // The blocks write the content before leaving the group; readers see it
    // only after passing the wait.
    auto group = group_;
    group->enter();
    db_->loadMainWithBundleIdentifier(
        bundleIdentifier_, [this, group](bool, RCNNamespaceValues fetched,
                                         RCNNamespaceValues active, RCNNamespaceValues defaults) {
            fetchedConfig_ = std::move(fetched);
            activeConfig_ = std::move(active);
            defaultConfig_ = std::move(defaults);
            group->leave();
        });
    group->enter();
    db_->loadPersonalizationWithCompletionHandler(
        [this, group](bool, Dictionary fetched, Dictionary active) {
            fetchedPersonalization_ = std::move(fetched);
            activePersonalization_ = std::move(active);
            group->leave();
        });
}

bool RCNConfigContent::checkAndWaitForInitialDatabaseLoad() {
    if (isConfigLoadFromDBCompleted_) return true;
    if (group_->wait(loadTimeout_) == DispatchTimeoutResult::timedOut) {
        RCNLog(OSLogType::Error, "I-RCN000048",
               "Timed out waiting for fetched config to be loaded from DB");
        return false;
    }
    isConfigLoadFromDBCompleted_ = true;
    return true;
}

RCNNamespaceValues& RCNConfigContent::fetchedConfig() {
    checkAndWaitForInitialDatabaseLoad();
    return fetchedConfig_;
}

RCNNamespaceValues& RCNConfigContent::activeConfig() {
    checkAndWaitForInitialDatabaseLoad();
    return activeConfig_;
}

RCNNamespaceValues& RCNConfigContent::defaultConfig() {
    checkAndWaitForInitialDatabaseLoad();
    return defaultConfig_;
}

Dictionary RCNConfigContent::getConfigAndMetadataForNamespace(const std::string& ns) {
    checkAndWaitForInitialDatabaseLoad();
    Dictionary entries;
    auto space = activeConfig_.find(ns);
    if (space != activeConfig_.end())
        for (const auto& [key, value] : space->second)
            entries.set(key, value->stringValue().value_or(""));
    return Dictionary{{"entries", Value(std::move(entries))},
                      {"personalizationMetadata", Value(activePersonalization_)}};
}

bool RCNConfigContent::replaceTarget(const void* source, RCNDBSource destination,
                                     const std::string& ns) {
    checkAndWaitForInitialDatabaseLoad();
    if (!source) {
        RCNLog(OSLogType::Error, "I-RCN000007",
               "The source dictionary to copy from does not exist.");
        return false;
    }
    if (destination == RCNDBSource::Fetched) {
        RCNLog(OSLogType::Default, "I-RCN000008",
               "This shouldn't happen. Destination dictionary should never be pending type.");
        return false;
    }
    auto& target = destination == RCNDBSource::Default ? defaultConfig_ : activeConfig_;
    if (db_) db_->deleteRecordFromMainTableWithNamespace(ns, bundleIdentifier_, destination);
    target[ns].clear();
    return true;
}

void RCNConfigContent::copyFromDictionary(const std::optional<Dictionary>& namespaces,
                                          RCNDBSource destination, const std::string& ns) {
    if (!replaceTarget(namespaces ? &*namespaces : nullptr, destination, ns)) return;
    const Dictionary* entries = (*namespaces)[ns].asDictionary();
    if (!entries) return;
    auto& target = destination == RCNDBSource::Default ? defaultConfig_ : activeConfig_;
    const auto kind = destination == RCNDBSource::Default ? DIROdadevOveredSource::Default
                                                          : DIROdadevOveredSource::Remote;
    for (const auto& [key, entry] : *entries) {
        auto data = defaultBytes(entry);
        if (!data) continue;
        target[ns][key] = DIROdadevOveredValue::initWithData(*data, kind);
        if (db_) db_->insertMainTableWithValues({bundleIdentifier_, ns, key, *data}, destination);
    }
}

void RCNConfigContent::copyFromDictionary(const RCNNamespaceValues* fetched,
                                          RCNDBSource destination, const std::string& ns) {
    if (!replaceTarget(fetched, destination, ns)) return;
    auto space = fetched->find(ns);
    if (space == fetched->end()) return;
    auto& target = destination == RCNDBSource::Default ? defaultConfig_ : activeConfig_;
    const auto kind = destination == RCNDBSource::Default ? DIROdadevOveredSource::Default
                                                          : DIROdadevOveredSource::Remote;
    for (const auto& [key, value] : space->second) {
        const Data data = value->dataValue().value_or(Data{});
        target[ns][key] = DIROdadevOveredValue::initWithData(data, kind);
        if (db_) db_->insertMainTableWithValues({bundleIdentifier_, ns, key, data}, destination);
    }
}

void RCNConfigContent::updateConfigContentWithResponse(const Dictionary& response,
                                                       const std::string& ns) {
    checkAndWaitForInitialDatabaseLoad();
    auto state = response["state"].asString();
    if (!state) {
        RCNLog(OSLogType::Error, "I-RCN000049", "State field in fetch response is nil.");
        return;
    }
    RCNLog(OSLogType::Debug, "I-RCN000059",
           "Updating config content from Response for namespace:" + ns + " with state: " + *state);
    if (*state == "NO_CHANGE") {
        fetchedConfig_[ns];
    } else if (*state == "EMPTY_CONFIG") {
        fetchedConfig_[ns].clear();
        if (db_)
            db_->deleteRecordFromMainTableWithNamespace(ns, bundleIdentifier_,
                                                        RCNDBSource::Fetched);
    } else if (*state == "NO_TEMPLATE") {
        fetchedConfig_.erase(ns);
        if (db_)
            db_->deleteRecordFromMainTableWithNamespace(ns, bundleIdentifier_,
                                                        RCNDBSource::Fetched);
    } else if (*state == "UPDATE") {
        handleUpdateStateForConfigNamespace(ns, response["entries"]);
        const Value& metadata = response["personalizationMetadata"];
        if (const Dictionary* personalization = metadata.asDictionary()) {
            fetchedPersonalization_ = *personalization;
            if (db_)
                db_->insertOrUpdatePersonalizationConfig(*personalization, RCNDBSource::Fetched);
        }
    }
}

void RCNConfigContent::handleUpdateStateForConfigNamespace(const std::string& ns,
                                                           const Value& entries) {
    RCNLog(OSLogType::Debug, "I-RCN000058", "Update config in DB for namespace:" + ns);
    if (db_)
        db_->deleteRecordFromMainTableWithNamespace(ns, bundleIdentifier_, RCNDBSource::Fetched);
    auto& space = fetchedConfig_[ns];
    space.clear();
    const Dictionary* values = entries.asDictionary();
    if (!values) return;
    for (const auto& [key, entry] : *values) {
        auto text = entry.asString();
        if (!text) continue;
        const Data data = bytes(*text);
        space[key] = DIROdadevOveredValue::initWithData(data, DIROdadevOveredSource::Remote);
        if (db_)
            db_->insertMainTableWithValues({bundleIdentifier_, ns, key, data},
                                           RCNDBSource::Fetched);
    }
}

void RCNConfigContent::activatePersonalization() {
    activePersonalization_ = fetchedPersonalization_;
    if (db_) db_->insertOrUpdatePersonalizationConfig(activePersonalization_, RCNDBSource::Active);
}
