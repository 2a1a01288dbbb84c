#include "services/remoteconfig/DIROdadevOvered.h"

#include <charconv>
#include <cmath>
#include <ctime>
#include <mutex>

#include "platform/bundle/NSBundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "services/remoteconfig/RCNLog.h"

namespace {

using Values = std::map<std::string, std::shared_ptr<DIROdadevOveredValue>>;

// The content every instance shares: per fully qualified namespace, the
// active and the default values. Touched only on the shared queue.
struct Content {
    std::map<std::string, Values> active;
    std::map<std::string, Values> defaults;
};

Content& content() {
    static auto* shared = new Content();
    return *shared;
}

Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }

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

// The bytes a default is kept as.
std::optional<Data> defaultBytes(const Value& value) {
    if (const Data* data = value.asData()) return *data;
    if (auto text = value.asString()) return bytes(*text);
    if (auto flag = value.asBool()) return bytes(*flag ? "1" : "0");
    if (value.isNumber()) return bytes(numberText(value));
    if (auto date = value.asDate()) return bytes(dateText(*date));
    return std::nullopt;
}

std::shared_ptr<DIROdadevOveredValue> staticValue() {
    return DIROdadevOveredValue::initWithData(Data{}, DIROdadevOveredSource::Static);
}

std::shared_ptr<DIROdadevOveredValue> find(const std::map<std::string, Values>& table,
                                           const std::string& ns, const std::string& key) {
    auto space = table.find(ns);
    if (space == table.end()) return nullptr;
    auto it = space->second.find(key);
    return it == space->second.end() ? nullptr : it->second;
}

}  // namespace

std::shared_ptr<DispatchQueue> DIROdadevOvered::sharedRemoteConfigSerialQueue() {
    static const auto queue =
        DispatchQueue::create("com.zevera.ZeveraConfigService.DIROdadevOvered");
    return queue;
}

std::shared_ptr<DIROdadevOvered> DIROdadevOvered::remoteConfig() {
    static const auto instance = std::make_shared<DIROdadevOvered>("__VUVEZU_DEFAULT");
    return instance;
}

DIROdadevOvered::DIROdadevOvered(std::string appName, std::string RZRNamespace)
    : appName_(std::move(appName)), namespace_(RZRNamespace + ":" + appName_) {}

std::shared_ptr<DIROdadevOveredValue> DIROdadevOvered::configValueForKey(
    const std::string& key) const {
    std::shared_ptr<DIROdadevOveredValue> result;
    sharedRemoteConfigSerialQueue()->sync([&] {
        if (auto active = find(content().active, namespace_, key)) {
            if (active->source() != DIROdadevOveredSource::Remote) {
                RCNLog(OSLogType::Error, "I-RCN000001",
                       "Key " + key + " should come from source:0 instead coming from source: " +
                           std::to_string(static_cast<long>(active->source())) + ".");
            }
            result = active;
        } else if (auto fallback = find(content().defaults, namespace_, key)) {
            result = fallback;
        }
    });
    return result ? result : staticValue();
}

std::shared_ptr<DIROdadevOveredValue> DIROdadevOvered::configValueForKey(
    const std::string& key, DIROdadevOveredSource source) const {
    if (source == DIROdadevOveredSource::Static) return staticValue();
    std::shared_ptr<DIROdadevOveredValue> result;
    sharedRemoteConfigSerialQueue()->sync([&] {
        result = find(source == DIROdadevOveredSource::Remote ? content().active
                                                               : content().defaults,
                      namespace_, key);
    });
    return result;
}

std::shared_ptr<DIROdadevOveredValue> DIROdadevOvered::defaultValueForKey(
    const std::string& key) const {
    return configValueForKey(key, DIROdadevOveredSource::Default);
}

std::vector<std::string> DIROdadevOvered::allKeysFromSource(DIROdadevOveredSource source) const {
    std::vector<std::string> keys;
    if (source == DIROdadevOveredSource::Static) return keys;
    sharedRemoteConfigSerialQueue()->sync([&] {
        const auto& table =
            source == DIROdadevOveredSource::Remote ? content().active : content().defaults;
        auto space = table.find(namespace_);
        if (space == table.end()) return;
        for (const auto& [key, value] : space->second) keys.push_back(key);
    });
    return keys;
}

std::set<std::string> DIROdadevOvered::keysWithPrefix(
    const std::optional<std::string>& prefix) const {
    std::set<std::string> keys;
    for (const auto& key : allKeysFromSource(DIROdadevOveredSource::Remote))
        if (!prefix || prefix->empty() || key.rfind(*prefix, 0) == 0) keys.insert(key);
    return keys;
}

void DIROdadevOvered::setDefaults(const std::optional<Dictionary>& defaults) {
    Values values;
    if (defaults) {
        for (const auto& [key, value] : *defaults) {
            if (auto data = defaultBytes(value))
                values[key] = DIROdadevOveredValue::initWithData(*data, DIROdadevOveredSource::Default);
        }
    }
    auto ns = namespace_;
    sharedRemoteConfigSerialQueue()->async(
        [ns, values = std::move(values)] { content().defaults[ns] = values; });
}

void DIROdadevOvered::setDefaultsFromPlistFileName(const std::string& fileName) {
    auto notFound = [&] {
        RCNLog(OSLogType::Default, "I-RCN000037",
               "The plist file '" + fileName + "' could not be found by Remote Config.");
    };
    if (fileName.empty()) {
        notFound();
        return;
    }
    auto path = NSBundle::mainBundle()->pathForResource(fileName, "plist");
    if (!path) {
        notFound();
        return;
    }
    auto data = sim::FileSystem::readFile(*path);
    if (!data) return;
    auto plist = PropertyListSerialization::propertyListWithData(*data);
    if (!plist || !plist->isDictionary()) return;
    setDefaults(*plist->asDictionary());
}

void DIROdadevOvered::fetchAndActivateWithCompletionHandler(FetchAndActivateCompletion completion) {
    if (!completion) return;
    // Nothing to fetch from yet: report the values at hand, after the queue
    // has taken every earlier change, on the main queue as a fetch would.
    sharedRemoteConfigSerialQueue()->async([completion] {
        DispatchQueue::main()->async([completion] {
            completion(DIROdadevOveredFetchAndActivateStatus::SuccessUsingPreFetchedData,
                       std::nullopt);
        });
    });
}

void DIROdadevOvered::activateValuesForTesting(const std::map<std::string, std::string>& values) {
    Values active;
    for (const auto& [key, text] : values)
        active[key] = DIROdadevOveredValue::initWithData(bytes(text), DIROdadevOveredSource::Remote);
    auto ns = namespace_;
    sharedRemoteConfigSerialQueue()->sync([&] { content().active[ns] = active; });
}
