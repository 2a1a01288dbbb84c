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
                                 std::shared_ptr<const RCNKeyedRows> rows,
                                 std::uint64_t fetchedToken) {
    if (!db_) return;
    const auto token = db_->replaceMainTableNamespaceSharing(ns, bundleIdentifier_, destination,
                                                             rows, fetchedToken);
    if (destination == RCNDBSource::Fetched) fetchedWrites_[ns] = {token, std::move(rows)};
}

void RCNConfigContent::replaceNamespace(RCNNamespaceValues& table, const std::string& ns,
                                        RCNKeyedValues values) {
    std::unique_lock lock(mutex_);
    values.swap(table[ns]);
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
    RCNKeyedValues space;
    auto rows = std::make_shared<RCNKeyedRows>();
    if (entries) {
        for (const auto& [key, entry] : *entries) {
            auto data = defaultBytes(entry);
            if (!data) continue;
            auto value = DIROdadevOveredValue::initWithData(std::move(*data), kind);
            space[key] = value;
            rows->emplace_back(key, std::move(value));
        }
    }
    replaceNamespace(destination == RCNDBSource::Default ? defaultConfig_ : activeConfig_, ns,
                     std::move(space));
    storeRows(ns, destination, std::move(rows));
}

void RCNConfigContent::copyFromDictionary(const RCNNamespaceValues* fetched,
                                          RCNDBSource destination, const std::string& ns) {
    if (!checkCopy(fetched, destination)) return;
    const auto kind = destination == RCNDBSource::Default ? DIROdadevOveredSource::Default
                                                          : DIROdadevOveredSource::Remote;
    static const RCNKeyedValues kNoValues;
    auto from = fetched->find(ns);
    const RCNKeyedValues& values = from == fetched->end() ? kNoValues : from->second;
    // The content's own fetched values are the rows of its last fetched
    // write: the database copies them, or else is given the same rows again.
    std::uint64_t token = 0;
    std::shared_ptr<const RCNKeyedRows> rows;
    if (auto last = fetchedWrites_.find(ns);
        fetched == &fetchedConfig_ && kind == DIROdadevOveredSource::Remote &&
        last != fetchedWrites_.end() && last->second.rows->size() == values.size()) {
        token = last->second.token;
        rows = last->second.rows;
        // Queued first: the database joins it to the fetch's transaction
        // while that one is still running.
        storeRows(ns, destination, rows, token);
    }
    RCNKeyedValues space;
    space.reserve(values.size());
    for (const auto& [key, value] : values) {
        // The bytes never change: a value of the right kind is shared.
        space.emplace(key, value->source() == kind
                               ? value
                               : DIROdadevOveredValue::initWithData(
                                     value->dataValue().value_or(Data{}), kind));
    }
    if (!rows) {
        auto built = std::make_shared<RCNKeyedRows>();
        built->reserve(space.size());
        for (const auto& [key, value] : space) built->emplace_back(key, value);
        storeRows(ns, destination, std::move(built));
    }
    replaceNamespace(destination == RCNDBSource::Default ? defaultConfig_ : activeConfig_, ns,
                     std::move(space));
}

void RCNConfigContent::updateConfigContentWithResponse(const Dictionary& response,
                                                       const std::string& ns) {
    updateConfigContentWithResponse(RCNFetchAnswer::fromDictionary(response), ns);
}

void RCNConfigContent::updateConfigContentWithResponse(RCNFetchAnswer answer,
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
        replaceNamespace(fetchedConfig_, ns, {});
        storeRows(ns, RCNDBSource::Fetched, std::make_shared<const RCNKeyedRows>());
    } else if (*state == "NO_TEMPLATE") {
        RCNKeyedValues gone;
        {
            std::unique_lock lock(mutex_);
            if (auto it = fetchedConfig_.find(ns); it != fetchedConfig_.end()) {
                gone.swap(it->second);
                fetchedConfig_.erase(it);
            }
        }
        storeRows(ns, RCNDBSource::Fetched, std::make_shared<const RCNKeyedRows>());
    } else if (*state == "UPDATE") {
        handleUpdateStateForConfigNamespace(
            ns, answer.invalidEntries ? RCNKeyedRows() : std::move(answer.entries));
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
                                                           RCNKeyedRows entries) {
    RCNLog(ZVULoggerLevel::Debug, "I-RCN000058", "Update config in DB for namespace:" + ns);
    auto rows = std::make_shared<const RCNKeyedRows>(std::move(entries));
    // The database starts on the rows while the lookup table is built.
    storeRows(ns, RCNDBSource::Fetched, rows);
    RCNKeyedValues values;
    values.reserve(rows->size());
    for (const auto& [key, value] : *rows)
        values.insert_or_assign(key, std::const_pointer_cast<DIROdadevOveredValue>(value));
    if (values.size() != rows->size()) {
        // A key given twice: the database keeps its later value only.
        auto unique = std::make_shared<RCNKeyedRows>(values.begin(), values.end());
        storeRows(ns, RCNDBSource::Fetched, std::move(unique));
    }
    replaceNamespace(fetchedConfig_, ns, std::move(values));
}

void RCNConfigContent::activatePersonalization() {
    {
        std::unique_lock lock(mutex_);
        activePersonalization_ = fetchedPersonalization_;
        indexPersonalization();
    }
    if (db_) db_->insertOrUpdatePersonalizationConfig(activePersonalization_, RCNDBSource::Active);
}
