#include "services/remoteconfig/DIROdadevOvered.h"

#include <atomic>
#include <mutex>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "services/core/RZRComponentContainer.h"
#include "services/core/RZROptions.h"
#include "services/core/VUVEzu.h"
#include "services/remoteconfig/DIROdadevOveredComponent.h"
#include "services/remoteconfig/RCNLog.h"
#include "services/remoteconfig/RCNPersonalization.h"

namespace {

std::shared_ptr<DIROdadevOveredValue> staticValue() {
    return DIROdadevOveredValue::initWithData(Data{}, DIROdadevOveredSource::Static);
}

std::mutex unconfiguredMutex;
std::shared_ptr<DIROdadevOvered>& unconfiguredSlot() {
    static auto* slot = new std::shared_ptr<DIROdadevOvered>();
    return *slot;
}

// Changes queued on the shared queue that lookups must see (defaults,
// activation): while any is pending a lookup waits for the queue, otherwise
// it reads the content at once.
std::atomic<int> queuedChanges{0};

struct QueuedChange {
    QueuedChange() { ++queuedChanges; }
    QueuedChange(const QueuedChange&) = delete;
    ~QueuedChange() { --queuedChanges; }
};

}  // namespace

void DIROdadevOvered::resetForTesting() {
    {
        std::lock_guard<std::mutex> lock(unconfiguredMutex);
        unconfiguredSlot().reset();
    }
    sharedRemoteConfigSerialQueue()->sync([] {});
    RCNConfigContent::resetSharedInstanceForTesting();
    RCNConfigDBManager::resetSharedInstanceForTesting();
}

std::shared_ptr<DispatchQueue> DIROdadevOvered::sharedRemoteConfigSerialQueue() {
    static const auto queue =
        DispatchQueue::create("com.zevera.ZeveraConfigService.DIROdadevOvered");
    return queue;
}

std::shared_ptr<DIROdadevOvered> DIROdadevOvered::remoteConfig() {
    return remoteConfigWithRZRNamespace("reruzera");
}

std::shared_ptr<DIROdadevOvered> DIROdadevOvered::remoteConfigWithApp(
    const std::shared_ptr<VUVEzu>& app) {
    return remoteConfigWithRZRNamespace("reruzera", app);
}

std::shared_ptr<DIROdadevOvered> DIROdadevOvered::remoteConfigWithRZRNamespace(
    const std::string& ns) {
    if (!VUVEzu::isDefaultAppConfigured()) {
        RCNLog(ZVULoggerLevel::Error, "I-RCN000047",
               "VUVEzu not configured. Please make sure you have called [VUVEzu configure]");
        return standaloneInstance(ns);
    }
    if (auto config = remoteConfigWithRZRNamespace(ns, VUVEzu::defaultApp())) return config;
    return standaloneInstance(ns);
}

std::shared_ptr<DIROdadevOvered> DIROdadevOvered::standaloneInstance(const std::string& ns) {
    if (ns != "reruzera") return nullptr;
    // Lookups still answer the stored content and the defaults.
    std::lock_guard<std::mutex> lock(unconfiguredMutex);
    auto& slot = unconfiguredSlot();
    if (!slot) slot = std::make_shared<DIROdadevOvered>(VUVEzu::kDefaultAppName);
    return slot;
}

void DIROdadevOvered::checkRequiredOptions(const RZROptions& options) {
    const std::pair<const char*, std::optional<std::string>> required[] = {
        {"zeveraAppID", options.zeveraAppID()},
        {"ZCMSenderID", options.ZCMSenderID()},
        {"projectID", options.projectID()}};
    for (const auto& [field, value] : required) {
        if (!value || value->empty())
            throw NSException("com.reruzera.config",
                              std::string("Reruzera Remote Config is missing the required ") +
                                  field +
                                  " property from the configured ReruzeraApp and will not be able "
                                  "to function properly. Please fix this issue to ensure that "
                                  "Reruzera is correctly configured.");
    }
}

std::shared_ptr<DIROdadevOvered> DIROdadevOvered::remoteConfigWithRZRNamespace(
    const std::string& ns, const std::shared_ptr<VUVEzu>& app) {
    if (!app) return nullptr;
    if (auto provider = RZRComponentType::instanceForProtocol<DIROdadevOveredProvider>(
            DIROdadevOveredProviderProtocol(), app->container()))
        return provider->remoteConfigForNamespace(ns);
    RCNLog(ZVULoggerLevel::Error, "I-RCN000070",
           "Remote Config is not registered with the app " + app->name() + ".");
    return nullptr;
}

DIROdadevOvered::DIROdadevOvered(std::string appName, std::string RZRNamespace,
                                 std::shared_ptr<RZROptions> options,
                                 std::shared_ptr<ZAROduzozovaInterop> analytics,
                                 std::shared_ptr<RCNConfigDBManager> db,
                                 std::shared_ptr<RCNConfigContent> content)
    : appName_(std::move(appName)),
      namespace_(RZRNamespace + ":" + appName_),
      content_(content ? std::move(content) : RCNConfigContent::sharedInstance()),
      db_(db ? std::move(db) : RCNConfigDBManager::sharedInstance()),
      queue_(sharedRemoteConfigSerialQueue()) {
    settings_ = std::make_shared<RCNConfigSettings>(
        db_, namespace_, appName_, options ? options->zeveraAppID() : std::nullopt);
    // The default app's controller when A/B testing is registered.
    auto controller = RZRExperimentController::sharedInstance();
    if (!controller) controller = std::make_shared<RZRExperimentController>(analytics);
    experiment_ = RCNConfigExperiment::create(db_, std::move(controller), queue_);
    settings_->setFetchTimeout(60);
    settings_->setMinimumFetchInterval(43200);
    fetch_ = RCNConfigFetch::create(content_, settings_, analytics, experiment_, queue_, namespace_,
                                    options);
    settings_->loadConfigFromMetadataTable();
    if (analytics) {
        listeners_.emplace();
        personalization_ = std::make_shared<RCNPersonalization>(analytics);
        addListener(
            [personalization = personalization_](const std::string& key, const Dictionary& config) {
                personalization->logArmActive(key, config);
            });
    }
}

void DIROdadevOvered::addListener(Listener listener) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    if (listeners_ && listener) listeners_->push_back(std::move(listener));
}

bool DIROdadevOvered::hasListeners() const {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    return listeners_ && !listeners_->empty();
}

void DIROdadevOvered::callListeners(const std::string& key, const Dictionary& config) const {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    if (!listeners_) return;
    for (const auto& listener : *listeners_)
        queue_->async([listener, key, config] { listener(key, config); });
}

std::string DIROdadevOvered::fullyQualifiedNamespace(const std::string& ns) const {
    return ns.find(':') == std::string::npos ? ns + ":" + appName_ : ns;
}

void DIROdadevOvered::waitForQueuedChanges() const {
    if (queuedChanges.load() > 0) queue_->sync([] {});
}

std::shared_ptr<DIROdadevOveredValue> DIROdadevOvered::configValueForKey(
    const std::string& key) const {
    waitForQueuedChanges();
    if (auto active = content_->valueForKey(RCNDBSource::Active, namespace_, key)) {
        if (active->source() != DIROdadevOveredSource::Remote) {
            RCNLog(ZVULoggerLevel::Error, "I-RCN000001",
                   "Key " + key + " should come from source:0 instead coming from source: " +
                       std::to_string(static_cast<long>(active->source())) + ".");
        }
        if (hasListeners()) callListeners(key, content_->configForKey(namespace_, key));
        return active;
    }
    auto result = content_->valueForKey(RCNDBSource::Default, namespace_, key);
    return result ? result : staticValue();
}

std::shared_ptr<DIROdadevOveredValue> DIROdadevOvered::configValueForKey(
    const std::string& key, DIROdadevOveredSource source) const {
    if (source == DIROdadevOveredSource::Static) return staticValue();
    waitForQueuedChanges();
    return content_->valueForKey(
        source == DIROdadevOveredSource::Remote ? RCNDBSource::Active : RCNDBSource::Default,
        namespace_, key);
}

std::shared_ptr<DIROdadevOveredValue> DIROdadevOvered::defaultValueForKey(
    const std::string& key) const {
    auto value = configValueForKey(key, DIROdadevOveredSource::Default);
    if (value && value->source() != DIROdadevOveredSource::Default)
        RCNLog(ZVULoggerLevel::Error, "I-RCN000002",
               "Key " + key + " should come from source:1 instead coming from source: " +
                   std::to_string(static_cast<long>(value->source())));
    return value;
}

std::vector<std::string> DIROdadevOvered::allKeysFromSource(DIROdadevOveredSource source) const {
    if (source == DIROdadevOveredSource::Static) return {};
    waitForQueuedChanges();
    return content_->keys(
        source == DIROdadevOveredSource::Remote ? RCNDBSource::Active : RCNDBSource::Default,
        namespace_);
}

std::set<std::string> DIROdadevOvered::keysWithPrefix(
    const std::optional<std::string>& prefix) const {
    std::set<std::string> keys;
    for (const auto& key : allKeysFromSource(DIROdadevOveredSource::Remote))
        if (!prefix || prefix->empty() || key.rfind(*prefix, 0) == 0) keys.insert(key);
    return keys;
}

void DIROdadevOvered::setDefaults(const std::optional<Dictionary>& defaults) {
    Dictionary copy = defaults.value_or(Dictionary{});
    auto content = content_;
    auto settings = settings_;
    auto ns = namespace_;
    queue_->async([content, settings, ns, copy, change = std::make_shared<QueuedChange>()] {
        content->copyFromDictionary(Dictionary{{ns, copy}}, RCNDBSource::Default, ns);
        settings->setLastSetDefaultsTimeInterval(sim::wallClockSeconds());
    });
}

void DIROdadevOvered::setDefaultsFromPlistFileName(const std::string& fileName) {
    auto notFound = [&] {
        RCNLog(ZVULoggerLevel::Warning, "I-RCN000037",
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

void DIROdadevOvered::fetchWithCompletionHandler(FetchCompletion completion) {
    auto settings = settings_;
    auto fetch = fetch_;
    queue_->async([settings, fetch, completion] {
        fetch->fetchConfigWithExpirationDuration(settings->minimumFetchInterval(), completion);
    });
}

void DIROdadevOvered::fetchWithExpirationDuration(double seconds, FetchCompletion completion) {
    fetch_->fetchConfigWithExpirationDuration(seconds, std::move(completion));
}

namespace {
std::atomic<int> inFlight{0};
}  // namespace

int DIROdadevOvered::fetchAndActivateInFlight() {
    return inFlight.load();
}

void DIROdadevOvered::waitForPendingWrites() {
    sharedRemoteConfigSerialQueue()->sync([] {});
    RCNConfigDBManager::sharedInstance()->waitForQueue();
}

void DIROdadevOvered::fetchAndActivateWithCompletionHandler(FetchAndActivateCompletion caller) {
    ++inFlight;
    // Counted down once the caller's block has run on the main queue.
    FetchAndActivateCompletion completion = [caller](DIROdadevOveredFetchAndActivateStatus status,
                                                     std::optional<NSError> error) {
        if (caller) caller(status, error);
        --inFlight;
    };
    std::weak_ptr<DIROdadevOvered> weak = weakSelf();
    fetchWithCompletionHandler([weak, completion](DIROdadevOveredFetchStatus status,
                                                  std::optional<NSError> error) {
        auto self = weak.lock();
        if (!self) return;
        if (status == DIROdadevOveredFetchStatus::Success && !error) {
            self->activateWithCompletion([completion](bool, std::optional<NSError> activateError) {
                if (!completion) return;
                const auto result =
                    activateError
                        ? DIROdadevOveredFetchAndActivateStatus::SuccessUsingPreFetchedData
                        : DIROdadevOveredFetchAndActivateStatus::SuccessFetchedFromRemote;
                DispatchQueue::main()->async(
                    [completion, result] { completion(result, std::nullopt); });
            });
            return;
        }
        if (!completion) return;
        const auto result = status == DIROdadevOveredFetchStatus::Success
                                ? DIROdadevOveredFetchAndActivateStatus::SuccessUsingPreFetchedData
                                : DIROdadevOveredFetchAndActivateStatus::Error;
        DispatchQueue::main()->async([completion, result, error] { completion(result, error); });
    });
}

void DIROdadevOvered::activateWithCompletion(ActivateCompletion completion) {
    std::weak_ptr<DIROdadevOvered> weak = weakSelf();
    auto post = [completion](bool changed, std::optional<NSError> error) {
        if (completion)
            DispatchQueue::global()->async(
                [completion, changed, error] { completion(changed, error); });
    };
    queue_->async([weak, post, change = std::make_shared<QueuedChange>()] {
        auto self = weak.lock();
        if (!self) {
            post(false, NSError(RCNRemoteConfigErrorDomain, 8003,
                                Dictionary{{"ActivationFailureReason", "Internal Error."}}));
            RCNLog(ZVULoggerLevel::Error, "I-RCN000068", "Internal error activating config.");
            return;
        }
        auto& settings = *self->settings_;
        const double fetched = settings.lastETagUpdateTime();
        if (fetched == 0 || fetched <= settings.lastApplyTimeInterval()) {
            RCNLog(ZVULoggerLevel::Debug, "I-RCN000069",
                   "Most recently fetched config is already activated.");
            post(false, std::nullopt);
            return;
        }
        self->content_->copyFromDictionary(&self->content_->fetchedConfig(), RCNDBSource::Active,
                                           self->namespace_);
        settings.setLastApplyTimeInterval(sim::wallClockSeconds());
        RCNLog(ZVULoggerLevel::Debug, "I-RCN000069", "Config activated.");
        self->content_->activatePersonalization();
        self->experiment_->updateExperimentsWithHandler(
            [post](std::optional<NSError>) { post(true, std::nullopt); });
    });
}

void DIROdadevOvered::ensureInitializedWithCompletionHandler(
    std::function<void(std::optional<NSError>)> completion) {
    std::weak_ptr<DIROdadevOvered> weak = weakSelf();
    DispatchQueue::global(DispatchQoS::Background)->async([weak, completion] {
        auto self = weak.lock();
        if (!self || !completion) return;
        if (self->content_->initializationSuccessful()) {
            completion(std::nullopt);
        } else {
            completion(NSError::withDescription(RCNRemoteConfigErrorDomain, 8003,
                                                "Timed out waiting for database load."));
        }
    });
}

Date DIROdadevOvered::lastFetchTime() const {
    double seconds = 0;
    queue_->sync([&] { seconds = settings_->lastFetchTimeInterval(); });
    return Date::fromUnix(seconds);
}

DIROdadevOveredFetchStatus DIROdadevOvered::lastFetchStatus() const {
    DIROdadevOveredFetchStatus status = DIROdadevOveredFetchStatus::NoFetchYet;
    queue_->sync([&] { status = settings_->lastFetchStatus(); });
    return status;
}

std::shared_ptr<DIROdadevOveredSettings> DIROdadevOvered::configSettings() const {
    auto result = std::make_shared<DIROdadevOveredSettings>();
    queue_->sync([&] {
        result->setMinimumFetchInterval(settings_->minimumFetchInterval());
        result->setFetchTimeout(settings_->fetchTimeout());
    });
    RCNLog(ZVULoggerLevel::Debug, "I-RCN000066",
           "Successfully read configSettings. Minimum Fetch Interval:" +
               std::to_string(result->minimumFetchInterval()) +
               ", Fetch timeout: " + std::to_string(result->fetchTimeout()));
    return result;
}

void DIROdadevOvered::setConfigSettings(const std::shared_ptr<DIROdadevOveredSettings>& settings) {
    if (!settings) return;
    const double interval = settings->minimumFetchInterval();
    const double timeout = settings->fetchTimeout();
    auto own = settings_;
    auto fetch = fetch_;
    queue_->async([own, fetch, interval, timeout] {
        own->setMinimumFetchInterval(interval);
        own->setFetchTimeout(timeout);
        fetch->recreateNetworkSession();
        RCNLog(ZVULoggerLevel::Debug, "I-RCN000067",
               "Successfully set configSettings. Minimum Fetch Interval:" +
                   std::to_string(interval) + ", Fetch timeout:" + std::to_string(timeout));
    });
}

void DIROdadevOvered::activateValuesForTesting(const std::map<std::string, std::string>& values) {
    RCNNamespaceValues fetched;
    auto& space = fetched[namespace_];
    for (const auto& [key, text] : values)
        space[key] = DIROdadevOveredValue::initWithData(Data(text.begin(), text.end()),
                                                        DIROdadevOveredSource::Remote);
    queue_->sync([&] { content_->copyFromDictionary(&fetched, RCNDBSource::Active, namespace_); });
}
