#include "app/settings/DefaultsObservation.h"

namespace Defaults {
namespace {

// The composite observer's context: the address of this token.
char compositeToken;

const char* const kPropagationFlag = "DefaultsObservation.Protocol_threadUpdatingValuesFlag";

Dictionary& threadDictionary() {
    thread_local Dictionary dictionary;
    return dictionary;
}

}  // namespace

NSKeyValueObservingOptions mapOptions(const ObservationOptions& options) {
    NSKeyValueObservingOptions mapped = NSKeyValueObservingOptionNew | NSKeyValueObservingOptionOld;
    if (options.count(ObservationOption::initial))
        mapped |= NSKeyValueObservingOptionInitial;
    else if (options.count(ObservationOption::prior))
        mapped |= NSKeyValueObservingOptionPrior;
    return mapped;
}

BaseChange BaseChange::from(const Dictionary& change) {
    BaseChange out;
    if (const Value* kind = change.find(NSKeyValueChangeKindKey))
        out.kind = static_cast<NSKeyValueChange>(kind->asUInt().value_or(1));
    if (const Value* indexes = change.find(NSKeyValueChangeIndexesKey);
        indexes && indexes->isArray()) {
        IndexSet set;
        for (const auto& index : *indexes->asArray())
            if (auto i = index.asUInt()) set.insert(*i);
        out.indexes = std::move(set);
    }
    if (const Value* prior = change.find(NSKeyValueChangeNotificationIsPriorKey))
        out.isPrior = prior->asBool().value_or(false);
    if (const Value* v = change.find(NSKeyValueChangeOldKey)) out.oldValue = *v;
    if (const Value* v = change.find(NSKeyValueChangeNewKey)) out.newValue = *v;
    return out;
}

bool isPropagationSuspended() {
    const Value* flag = threadDictionary().find(kPropagationFlag);
    return flag && flag->asBool().value_or(false);
}

void withoutPropagation(const std::function<void()>& body) {
    struct Restore {
        std::optional<Value> earlier;
        ~Restore() {
            if (earlier)
                threadDictionary().set(kPropagationFlag, *earlier);
            else
                threadDictionary().remove(kPropagationFlag);
        }
    };
    const Value* current = threadDictionary().find(kPropagationFlag);
    Restore restore{current ? std::optional<Value>(*current) : std::nullopt};
    threadDictionary().set(kPropagationFlag, true);
    body();
}

// ---- lifetime tie --------------------------------------------------------

std::shared_ptr<DefaultsObservation> LifetimeTiedObservation::tieToLifetime(
    const std::shared_ptr<NSObject>& owner) {
    auto self = std::dynamic_pointer_cast<LifetimeTiedObservation>(shared_from_this());
    std::weak_ptr<LifetimeTiedObservation> weak = self;
    // A second tie moves the observation to the new owner: the old tie is
    // cancelled first, so its release cannot end the observation.
    cancelLifetimeAssociation();
    auto association = std::make_shared<LifetimeAssociation>(self, owner, [weak] {
        if (auto observation = weak.lock()) observation->invalidate();
    });
    std::lock_guard lock(tieMutex_);
    lifetimeAssociation_ = std::move(association);
    return self;
}

void LifetimeTiedObservation::removeLifetimeTie() {
    cancelLifetimeAssociation();
}

void LifetimeTiedObservation::cancelLifetimeAssociation() {
    std::shared_ptr<LifetimeAssociation> association;
    {
        std::lock_guard lock(tieMutex_);
        association = std::move(lifetimeAssociation_);
    }
    if (association) association->cancel();
}

// ---- single key -------------------------------------------------------------

UserDefaultsKeyObservation::UserDefaultsKeyObservation(
    const std::shared_ptr<NSUserDefaults>& object, std::string key, Callback callback)
    : object_(object), key_(std::move(key)), callback_(std::move(callback)) {}

UserDefaultsKeyObservation::~UserDefaultsKeyObservation() {
    invalidate();
}

void UserDefaultsKeyObservation::start(const ObservationOptions& options) {
    std::shared_ptr<NSUserDefaults> suite;
    {
        std::lock_guard lock(mutex_);
        suite = object_.lock();
    }
    if (!suite) return;
    auto self = std::dynamic_pointer_cast<UserDefaultsKeyObservation>(shared_from_this());
    suite->addObserver(self, key_, mapOptions(options), nullptr);
}

void UserDefaultsKeyObservation::invalidate() {
    std::shared_ptr<NSUserDefaults> suite;
    {
        std::lock_guard lock(mutex_);
        suite = object_.lock();
        object_.reset();
    }
    if (suite) suite->removeObserver(this, key_, nullptr);
    cancelLifetimeAssociation();
}

void UserDefaultsKeyObservation::observeValueForKeyPath(const std::string&, NSObject* object,
                                                        const Dictionary* change, void*) {
    std::shared_ptr<NSUserDefaults> suite;
    {
        std::lock_guard lock(mutex_);
        suite = object_.lock();
    }
    if (!suite) {
        invalidate();
        return;
    }
    if (object == nullptr || !object->isEqual(*suite) || change == nullptr) return;
    if (isPropagationSuspended()) return;
    callback_(BaseChange::from(*change));
}

// ---- several keys -----------------------------------------------------------

CompositeUserDefaultsKeyObservation::CompositeUserDefaultsKeyObservation(
    std::vector<SuiteKeyPair> observables, Callback callback)
    : observables_(std::move(observables)), callback_(std::move(callback)) {}

CompositeUserDefaultsKeyObservation::~CompositeUserDefaultsKeyObservation() {
    invalidate();
}

void CompositeUserDefaultsKeyObservation::start(const ObservationOptions& options) {
    auto self = std::dynamic_pointer_cast<CompositeUserDefaultsKeyObservation>(shared_from_this());
    std::vector<std::pair<std::shared_ptr<NSUserDefaults>, std::string>> live;
    {
        std::lock_guard lock(mutex_);
        for (const auto& pair : observables_)
            if (auto suite = pair.suite.lock()) live.emplace_back(suite, pair.key);
    }
    for (auto& [suite, key] : live)
        suite->addObserver(self, key, mapOptions(options), &compositeToken);
}

void CompositeUserDefaultsKeyObservation::invalidate() {
    std::vector<std::pair<std::shared_ptr<NSUserDefaults>, std::string>> live;
    {
        std::lock_guard lock(mutex_);
        for (auto& pair : observables_) {
            if (auto suite = pair.suite.lock()) live.emplace_back(suite, pair.key);
            pair.suite.reset();
        }
    }
    for (auto& [suite, key] : live) suite->removeObserver(this, key, &compositeToken);
    cancelLifetimeAssociation();
}

void CompositeUserDefaultsKeyObservation::observeValueForKeyPath(const std::string&,
                                                                 NSObject* object,
                                                                 const Dictionary* change,
                                                                 void* context) {
    // Not ours: the base class has nothing to do with it.
    if (context != &compositeToken) return;
    if (dynamic_cast<NSUserDefaults*>(object) == nullptr || change == nullptr) return;
    if (isPropagationSuspended()) return;
    callback_(BaseChange::from(*change));
}

std::shared_ptr<DefaultsObservation> observe(const std::vector<const Keys*>& keys,
                                             std::function<void()> handler,
                                             const ObservationOptions& options) {
    std::vector<SuiteKeyPair> pairs;
    for (const auto* key : keys) pairs.push_back({key->suite(), key->name()});
    auto observation = std::make_shared<CompositeUserDefaultsKeyObservation>(
        std::move(pairs), [handler](const BaseChange&) { handler(); });
    observation->start(options);
    return observation;
}

}  // namespace Defaults
