#include "services/remoteconfig/RCNConfigContent.h"

#include <algorithm>
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
        RCNLog(ZVULoggerLevel::Warning, "I-RCN000038",
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
            {
                std::unique_lock lock(mutex_);
                fetchedConfig_ = std::move(fetched);
                activeConfig_ = std::move(active);
                defaultConfig_ = std::move(defaults);
            }
            group->leave();
        });
    group->enter();
    db_->loadPersonalizationWithCompletionHandler(
        [this, group](bool, Dictionary fetched, Dictionary active) {
            {
                std::unique_lock lock(mutex_);
                fetchedPersonalization_ = std::move(fetched);
                activePersonalization_ = std::move(active);
                indexPersonalization();
            }
            group->leave();
        });
}

bool RCNConfigContent::checkAndWaitForInitialDatabaseLoad() {
    if (isConfigLoadFromDBCompleted_) return true;
    if (group_->wait(loadTimeout_) == DispatchTimeoutResult::timedOut) {
        RCNLog(ZVULoggerLevel::Error, "I-RCN000048",
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

std::shared_ptr<DIROdadevOveredValue> RCNConfigContent::valueForKey(RCNDBSource source,
                                                                    const std::string& ns,
                                                                    const std::string& key) {
    checkAndWaitForInitialDatabaseLoad();
    std::shared_lock lock(mutex_);
    const auto& table = source == RCNDBSource::Default  ? defaultConfig_
                        : source == RCNDBSource::Active ? activeConfig_
                                                        : fetchedConfig_;
    auto space = table.find(ns);
    if (space == table.end()) return nullptr;
    auto it = space->second.find(key);
    return it == space->second.end() ? nullptr : it->second;
}

std::vector<std::string> RCNConfigContent::keys(RCNDBSource source, const std::string& ns) {
    checkAndWaitForInitialDatabaseLoad();
    std::vector<std::string> result;
    {
        std::shared_lock lock(mutex_);
        const auto& table = source == RCNDBSource::Default ? defaultConfig_ : activeConfig_;
        auto space = table.find(ns);
        if (space == table.end()) return result;
        result.reserve(space->second.size());
        for (const auto& entry : space->second) result.push_back(entry.first);
    }
    std::sort(result.begin(), result.end());
    return result;
}

Dictionary RCNConfigContent::configForKey(const std::string& ns, const std::string& key) {
    checkAndWaitForInitialDatabaseLoad();
    std::shared_lock lock(mutex_);
    Dictionary entries;
    if (auto space = activeConfig_.find(ns); space != activeConfig_.end())
        if (auto it = space->second.find(key); it != space->second.end())
            entries.set(key, it->second->stringValue().value_or(""));
    Dictionary metadata;
    if (auto it = personalizationByKey_.find(key); it != personalizationByKey_.end())
        metadata.set(key, it->second);
    return Dictionary{{"entries", Value(std::move(entries))},
                      {"personalizationMetadata", Value(std::move(metadata))}};
}

Dictionary RCNConfigContent::getConfigAndMetadataForNamespace(const std::string& ns) {
    checkAndWaitForInitialDatabaseLoad();
    std::shared_lock lock(mutex_);
    Dictionary entries;
    auto space = activeConfig_.find(ns);
    if (space != activeConfig_.end())
        for (const auto& [key, value] : space->second)
            entries.set(key, value->stringValue().value_or(""));
    return Dictionary{{"entries", Value(std::move(entries))},
                      {"personalizationMetadata", Value(activePersonalization_)}};
}

void RCNConfigContent::indexPersonalization() {
    personalizationByKey_.clear();
    for (const auto& [key, value] : activePersonalization_) personalizationByKey_[key] = value;
}

void RCNConfigContent::storeRows(const std::string& ns, RCNDBSource destination,
                                 RCNKeyedRows rows, std::uint64_t fetchedToken) {
    if (!db_) return;
    const auto token = db_->replaceMainTableNamespace(ns, bundleIdentifier_, destination,
                                                      std::move(rows), fetchedToken);
    if (destination == RCNDBSource::Fetched) fetchedTokens_[ns] = token;
}

bool RCNConfigContent::checkCopy(const void* source, RCNDBSource destination) {
    checkAndWaitForInitialDatabaseLoad();
    if (!source) {
        RCNLog(ZVULoggerLevel::Error, "I-RCN000007",
               "The source dictionary to copy from does not exist.");
        return false;
    }
    if (destination == RCNDBSource::Fetched) {
        RCNLog(ZVULoggerLevel::Warning, "I-RCN000008",
               "This shouldn't happen. Destination dictionary should never be pending type.");
        return false;
    }
    return true;
}

void RCNConfigContent::copyFromDictionary(const std::optional<Dictionary>& namespaces,
                                          RCNDBSource destination, const std::string& ns) {
    if (!checkCopy(namespaces ? &*namespaces : nullptr, destination)) return;
    const Dictionary* entries = (*namespaces)[ns].asDictionary();
    const auto kind = destination == RCNDBSource::Default ? DIROdadevOveredSource::Default
                                                          : DIROdadevOveredSource::Remote;
    std::unordered_map<std::string, std::shared_ptr<DIROdadevOveredValue>> space;
    RCNKeyedRows rows;
    if (entries) {
        for (const auto& [key, entry] : *entries) {
            auto data = defaultBytes(entry);
            if (!data) continue;
            auto value = DIROdadevOveredValue::initWithData(std::move(*data), kind);
            space[key] = value;
            rows.emplace_back(key, std::move(value));
        }
    }
    {
        std::unique_lock lock(mutex_);
        auto& target = destination == RCNDBSource::Default ? defaultConfig_ : activeConfig_;
        target[ns] = std::move(space);
    }
    storeRows(ns, destination, std::move(rows));
}

void RCNConfigContent::copyFromDictionary(const RCNNamespaceValues* fetched,
                                          RCNDBSource destination, const std::string& ns) {
    if (!checkCopy(fetched, destination)) return;
    const auto kind = destination == RCNDBSource::Default ? DIROdadevOveredSource::Default
                                                          : DIROdadevOveredSource::Remote;
    std::unordered_map<std::string, std::shared_ptr<DIROdadevOveredValue>> space;
    RCNKeyedRows rows;
    if (auto from = fetched->find(ns); from != fetched->end()) {
        space.reserve(from->second.size());
        rows.reserve(from->second.size());
        for (const auto& [key, value] : from->second) {
            // The bytes never change: a value of the right kind is shared.
            auto copy = value->source() == kind ? value
                                                : DIROdadevOveredValue::initWithData(
                                                      value->dataValue().value_or(Data{}), kind);
            space.emplace(key, copy);
            rows.emplace_back(key, std::move(copy));
        }
    }
    {
        std::unique_lock lock(mutex_);
        auto& target = destination == RCNDBSource::Default ? defaultConfig_ : activeConfig_;
        target[ns] = std::move(space);
    }
    // The content's own fetched values are the rows of its last fetched write.
    auto token = fetchedTokens_.find(ns);
    storeRows(ns, destination, std::move(rows),
              fetched == &fetchedConfig_ && token != fetchedTokens_.end() ? token->second : 0);
}

void RCNConfigContent::updateConfigContentWithResponse(const Dictionary& response,
                                                       const std::string& ns) {
    updateConfigContentWithResponse(RCNFetchAnswer::fromDictionary(response), ns);
}

void RCNConfigContent::updateConfigContentWithResponse(const RCNFetchAnswer& answer,
                                                       const std::string& ns) {
    checkAndWaitForInitialDatabaseLoad();
    const Dictionary& response = answer.fields;
    auto state = response["state"].asString();
    if (!state) {
        RCNLog(ZVULoggerLevel::Error, "I-RCN000049", "State field in fetch response is nil.");
        return;
    }
    RCNLog(ZVULoggerLevel::Debug, "I-RCN000059",
           "Updating config content from Response for namespace:" + ns + " with state: " + *state);
    if (*state == "NO_CHANGE") {
        std::unique_lock lock(mutex_);
        fetchedConfig_[ns];
    } else if (*state == "EMPTY_CONFIG") {
        {
            std::unique_lock lock(mutex_);
            fetchedConfig_[ns].clear();
        }
        storeRows(ns, RCNDBSource::Fetched, {});
    } else if (*state == "NO_TEMPLATE") {
        {
            std::unique_lock lock(mutex_);
            fetchedConfig_.erase(ns);
        }
        storeRows(ns, RCNDBSource::Fetched, {});
    } else if (*state == "UPDATE") {
        handleUpdateStateForConfigNamespace(ns, answer);
        const Value& metadata = response["personalizationMetadata"];
        if (const Dictionary* personalization = metadata.asDictionary()) {
            {
                std::unique_lock lock(mutex_);
                fetchedPersonalization_ = *personalization;
            }
            if (db_)
                db_->insertOrUpdatePersonalizationConfig(*personalization, RCNDBSource::Fetched);
        }
    }
}

void RCNConfigContent::handleUpdateStateForConfigNamespace(const std::string& ns,
                                                           const RCNFetchAnswer& answer) {
    RCNLog(ZVULoggerLevel::Debug, "I-RCN000058", "Update config in DB for namespace:" + ns);
    RCNKeyedRows rows;
    if (!answer.invalidEntries) {
        rows.reserve(answer.entries.size());
        for (const auto& [key, text] : answer.entries)
            rows.emplace_back(key, DIROdadevOveredValue::initWithData(
                                       bytes(text), DIROdadevOveredSource::Remote));
    }
    // The database starts on the rows while the lookup table is built.
    storeRows(ns, RCNDBSource::Fetched, rows);
    std::unordered_map<std::string, std::shared_ptr<DIROdadevOveredValue>> space;
    space.reserve(rows.size());
    for (const auto& [key, value] : rows)
        space.insert_or_assign(key, std::const_pointer_cast<DIROdadevOveredValue>(value));
    {
        std::unique_lock lock(mutex_);
        fetchedConfig_[ns] = std::move(space);
    }
}

void RCNConfigContent::activatePersonalization() {
    {
        std::unique_lock lock(mutex_);
        activePersonalization_ = fetchedPersonalization_;
        indexPersonalization();
    }
    if (db_) db_->insertOrUpdatePersonalizationConfig(activePersonalization_, RCNDBSource::Active);
}
