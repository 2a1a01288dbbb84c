#include "services/experiments/APMETaskManager.h"

#include <cmath>
#include <exception>
#include <limits>

#include "platform/dispatch/Clock.h"
#include "services/experiments/APMEExperimentRequestBuilder.h"
#include "services/experiments/APMEManager.h"
#include "services/measurement/APMUserDefaults.h"
#include "services/util/ZVUGzip.h"

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kFirstRetryInterval = 1800;
constexpr int kRetrySteps = 6;

APMMonitor& monitor() {
    return APMEManager::monitor();
}

Value describe(const std::optional<NSError>& error) {
    return error ? Value(error->localizedDescription()) : Value();
}

long long serverErrorCode(std::uint32_t code) {
    switch (code) {
        case 1:
            return -2;
        case 2:
            return -3;
        case 3:
            return -4;
        default:
            return -1;
    }
}

}  // namespace

std::shared_ptr<APMETaskManager> APMETaskManager::init() {
    auto queue = DispatchQueue::create("APMExperimentWorkerQueue",
                                       DispatchQueue::Attributes::Serial, DispatchQoS::Background);
    auto alarm = std::make_shared<APMAlarm>(queue, "APMExperimentAlarm");
    auto url = NSURL::URLWithString(kAPMExperimentsURL);
    auto network = DOZIvedidi::initWithReachabilityHost(url ? url->host() : "");
    if (!network) network = std::make_shared<DOZIvedidi>();
    return initWithQueue(queue, alarm, network,
                         std::make_shared<APMUserDefaults>(kAPMExperimentSuiteName),
                         APMEDatabase::defaultPath(), sim::wallClockSeconds());
}

std::shared_ptr<APMETaskManager> APMETaskManager::initWithQueue(
    std::shared_ptr<DispatchQueue> queue, std::shared_ptr<APMAlarm> alarm,
    std::shared_ptr<DOZIvedidi> network, std::shared_ptr<APMConfigStore> persistedStorage,
    const std::string& databasePath, double initTimestamp) {
    std::shared_ptr<APMETaskManager> manager(new APMETaskManager());
    manager->workerQueue_ = std::move(queue);
    manager->alarm_ = std::move(alarm);
    manager->network_ = std::move(network);
    manager->persistedStorage_ = std::move(persistedStorage);
    manager->databasePath_ = databasePath;
    manager->initializationTimestamp_ = initTimestamp;
    return manager;
}

APMETaskManager::~APMETaskManager() {
    if (alarm_) alarm_->cancel();
}

void APMETaskManager::dispatchAsyncOnWorkerQueue(std::function<void()> block) {
    workerQueue_->async([block = std::move(block)] {
        try {
            block();
        } catch (const std::exception& e) {
            monitor().logWithLevel(1, 820026, "Exception on async worker queue", Value(e.what()));
        }
    });
}

void APMETaskManager::dispatchSyncOnWorkerQueue(const std::function<void()>& block) {
    workerQueue_->sync([&] {
        try {
            block();
        } catch (const std::exception& e) {
            monitor().logWithLevel(1, 820027, "Exception on sync worker queue", Value(e.what()));
            throw;
        }
    });
}

void APMETaskManager::startTaskManager() {
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    dispatchAsyncOnWorkerQueue([weak] {
        if (auto self = weak.lock()) self->startTaskManagerOnWorkerQueue();
    });
}

bool APMETaskManager::checkOnWorkerQueue(const char* method) const {
    if (DispatchQueue::currentLabel() == workerQueue_->label()) return true;
    monitor().logWithLevel(1, 820028,
                           std::string("Method ") + method + " should execute on the worker queue");
    return false;
}

void APMETaskManager::startTaskManagerOnWorkerQueue() {
    checkOnWorkerQueue("startTaskManagerOnWorkerQueue");
    database_ = APMEDatabase::initWithPath(databasePath_);
    // Without a database nothing is loaded and nothing is ever fetched.
    if (!database_) return;
    fetchAllSnapshotsOnWorkerQueue();
    scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::fetchAllSnapshotsOnWorkerQueue() {
    checkOnWorkerQueue("fetchAllSnapshotsOnWorkerQueue");
    if (!database_) return;
    const bool started = database_->performTransaction([this] {
        NSError error;
        if (!database_->deleteStaleActivatedSnapshots(&error)) {
            monitor().logWithLevel(1, 820006, "Cannot delete stale activated snapshots. Error",
                                   describe(error));
            return false;
        }
        if (!database_->activatePendingSnapshotsAutomatically(&error)) {
            monitor().logWithLevel(1, 820007,
                                   "Cannot activate pending snapshots automatically. Error",
                                   describe(error));
            return false;
        }
        return true;
    });
    if (!started) {
        monitor().logWithLevel(2, 820008, "Failed to start the task manager");
        return;
    }
    monitor().logWithLevel(8, 820009, "Successfully start the task manager");
    auto delegate = this->delegate();
    if (!delegate) return;
    struct Load {
        std::optional<Snapshots> (APMEDatabase::*fetch)(NSError*);
        long long code;
        const char* message;
    };
    const Load loads[] = {
        {&APMEDatabase::fetchAllActivatedSnapshots, 820010,
         "Error in fetching all activated snapshots. Error"},
        {&APMEDatabase::fetchAllPendingSnapshots, 820011,
         "Error in fetching all pending snapshots. Error"},
        {&APMEDatabase::fetchAllLaunchedSnapshots, 820012,
         "Error in fetching all launched snapshots. Error"},
    };
    Snapshots sets[3];
    for (int i = 0; i < 3; ++i) {
        NSError error;
        auto loaded = (database_.get()->*loads[i].fetch)(&error);
        if (!loaded && !error.domain.empty()) {
            monitor().logWithLevel(2, loads[i].code, loads[i].message, describe(error));
        }
        sets[i] = loaded.value_or(Snapshots{});
    }
    delegate->taskManagerDidStart(*this, sets[0], sets[1], sets[2]);
}

double APMETaskManager::fetchTimeFromLastSuccessfulTimestamp(double lastSuccess,
                                                             double lastFailure) {
    const double now = sim::wallClockSeconds();
    const double base = now - std::fabs(lastSuccess - now);
    const double next = base + kAPMExperimentFetchInterval;
    if (!hasMadeInitialFetch_) {
        hasMadeInitialFetch_ = true;
        return std::max(now + kAPMExperimentInitialFetchDelay, next);
    }
    if (!(lastFailure > 0)) return next;
    double t = base != 0 ? next : initializationTimestamp_;
    for (int i = 0; i < kRetrySteps; ++i) {
        t += kFirstRetryInterval * static_cast<double>(1 << i);
        if (t > lastFailure) return t;
    }
    return 0;
}

void APMETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
    checkOnWorkerQueue("scheduleFetchingExperimentsOnWorkerQueue");
    const double now = sim::wallClockSeconds();
    double fetchTime = fetchTimeFromLastSuccessfulTimestamp(
        persistedStorage_->doubleForKey(kAPMExperimentFetchSuccessTimestampKey),
        persistedStorage_->doubleForKey(kAPMExperimentFetchFailureTimestampKey));
    if (std::fabs(fetchTime) <= kEpsilon) {
        persistedStorage_->removeObjectForKey(kAPMExperimentFetchSuccessTimestampKey);
        monitor().logWithLevel(2, 820024,
                               "Network attempted too many times. Will not schedule new network.");
        return;
    }
    const double scheduled = alarm_->scheduledTimestamp().value_or(0);
    if (scheduled != 0 && scheduled <= fetchTime) {
        monitor().logWithLevel(
            8, 820017,
            "Do not schedule a fetch task. Task already exists. Will be executed in seconds",
            Value(scheduled - now));
        return;
    }
    const double backoff = persistedStorage_->doubleForKey(kAPMExperimentFetchBackoffTimestampKey);
    if (backoff > 0 && now - backoff < kAPMExperimentBackoffInterval) {
        fetchTime = std::max(fetchTime, backoff + kAPMExperimentBackoffInterval);
    }
    double delay = fetchTime - now;
    if (delay <= kEpsilon) delay = 0.001;
    // Whether to fetch is asked when the timer fires, not now: at start the
    // clients register while the first timer is being set, and an answer
    // taken before they have would put the first fetch off by four hours.
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    alarm_->runAfterDelay(delay, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->deleteSnapshotsOfUnregisteredSDKNamesOnWorkerQueue();
        auto delegate = self->delegate();
        if (!delegate || delegate->taskManagerShouldFetchExperiments(*self)) {
            self->fetchExperiments();
        } else {
            self->postponeFetchExperiments();
        }
    });
}

void APMETaskManager::deleteSnapshotsOfUnregisteredSDKNamesOnWorkerQueue() {
    checkOnWorkerQueue("deleteSnapshotsOfUnregisteredSDKNamesOnWorkerQueue");
    // Earlier versions stored the snapshots of any name an answer held; their
    // launched rows were loaded at every start with nobody to read or delete
    // them. The clients register at start, before the first timer fires;
    // while none has, nothing is known to be unregistered.
    const auto registered = APMEExperimentRequestBuilder::sharedInstance().SDKNames();
    if (!database_ || registered.empty()) return;
    std::optional<long long> deleted;
    NSError error;
    database_->performTransaction([&] {
        deleted = database_->deleteSnapshotsOfUnregisteredSDKNames(registered, &error);
        return deleted.has_value();
    });
    if (!deleted) {
        monitor().logWithLevel(1, 820031,
                               "Cannot delete snapshots of unregistered SDK names. Error",
                               Value(error.localizedDescription()));
    } else if (*deleted > 0) {
        monitor().logWithLevel(4, 820030, "Deleted snapshots of unregistered SDK names. Count",
                               Value(*deleted));
    }
}

void APMETaskManager::postponeFetchExperiments() {
    persistedStorage_->setDouble(sim::wallClockSeconds(), kAPMExperimentFetchSuccessTimestampKey);
    persistedStorage_->removeObjectForKey(kAPMExperimentFetchFailureTimestampKey);
    persistedStorage_->removeObjectForKey(kAPMExperimentFetchBackoffTimestampKey);
    scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::fetchExperiments() {
    auto request = APMEExperimentRequestBuilder::sharedInstance().request();
    auto bytes = request->protoBuffer().value_or(Data{});
    monitor().logWithLevel(8, 820001, "Fetching new experiments. Request",
                           Value(static_cast<long long>(bytes.size())));
    auto url = NSURL::URLWithString(kAPMExperimentsURL);
    if (!network_ || !url) {
        handleFetchingExperimentsResponse(nullptr, std::nullopt, std::nullopt);
        return;
    }
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    network_->postURL(*url, bytes, workerQueue_, false,
                      [weak](std::shared_ptr<NSHTTPURLResponse> response, std::optional<Data> data,
                             std::optional<NSError> error) {
                          auto self = weak.lock();
                          if (!self) return;
                          if (data && !data->empty()) {
                              NSError inflateError;
                              auto inflated = zvu_dataByInflatingGzippedData(*data, &inflateError);
                              if (!inflated) {
                                  monitor().logWithLevel(
                                      2, 820023, "Cannot inflate downloaded experiment data. Error",
                                      Value(inflateError.localizedDescription()));
                                  // The body is unusable: handled as a failed answer.
                                  data.reset();
                                  if (!error) error = inflateError;
                              } else {
                                  data = std::move(inflated);
                              }
                          }
                          self->handleFetchingExperimentsResponse(response, data, error);
                      });
}

void APMETaskManager::storeFailure(double now, bool backoff) {
    persistedStorage_->setDouble(now, kAPMExperimentFetchFailureTimestampKey);
    if (backoff) persistedStorage_->setDouble(now, kAPMExperimentFetchBackoffTimestampKey);
}

void APMETaskManager::handleFetchingExperimentsResponse(
    const std::shared_ptr<NSHTTPURLResponse>& response, const std::optional<Data>& data,
    const std::optional<NSError>& error) {
    const long status = response ? response->statusCode() : 0;
    const double now = sim::wallClockSeconds();
    if (status != 200 && status != 204) {
        storeFailure(now, status == 503 || status == 429);
        monitor().logWithLevel(1, 820002, "Network fetch failed. Will retry later. Code, error",
                               Value(status), describe(error));
        scheduleFetchingExperimentsOnWorkerQueue();
        return;
    }
    // A 200 whose body did not inflate or does not decode brought nothing
    // usable: it counts as a failure, so the retry schedule applies.
    std::shared_ptr<APMPBExperimentResponse> message;
    if (status == 200 && error) {
        message = nullptr;
    } else if (data && !data->empty()) {
        message = APMPBExperimentResponse::initWithBuffer(*data);
    } else {
        message = APMPBExperimentResponse::make();
    }
    if (!message) {
        storeFailure(now, false);
        monitor().logWithLevel(1, 820002, "Network fetch failed. Will retry later. Code, error",
                               Value(status),
                               error ? describe(error) : Value("The answer does not decode"));
        scheduleFetchingExperimentsOnWorkerQueue();
        return;
    }
    monitor().logWithLevel(8, 820003, "Successful fetch. Got network response. Code, data",
                           Value(status), Value(static_cast<long long>(data ? data->size() : 0)));
    persistedStorage_->setDouble(now, kAPMExperimentFetchSuccessTimestampKey);
    persistedStorage_->removeObjectForKey(kAPMExperimentFetchFailureTimestampKey);
    persistedStorage_->removeObjectForKey(kAPMExperimentFetchBackoffTimestampKey);
    Snapshots snapshots =
        experimentSnapshotsFromExperimentResponse(message.get()).value_or(Snapshots{});
    // Snapshots of names no SDK registered would be stored, and their launched
    // flags loaded at every start, with nobody ever to read or delete them.
    const auto registered = APMEExperimentRequestBuilder::sharedInstance().SDKNames();
    const auto unasked = std::erase_if(snapshots, [&](const std::shared_ptr<APMESnapshot>& s) {
        return registered.count(s->SDKName()) == 0;
    });
    if (unasked > 0)
        monitor().logWithLevel(2, 820029, "Ignored snapshots of unregistered SDK names. Count",
                               Value(static_cast<long long>(unasked)));
    auto errors =
        errorsFromExperimentResponse(message.get()).value_or(std::map<std::string, NSError>{});
    if (!snapshots.empty() && database_) {
        NSError upsertError;
        if (!database_->upsertPendingExperimentSnapshots(snapshots, &upsertError)) {
            monitor().logWithLevel(1, 820022, "Cannot upsert pending snapshots. Error, snapshots",
                                   Value(upsertError.localizedDescription()),
                                   Value(static_cast<long long>(snapshots.size())));
        }
    }
    if (auto delegate = this->delegate()) {
        delegate->taskManagerDidFinishFetching(*this, snapshots, errors);
    }
    scheduleFetchingExperimentsOnWorkerQueue();
}

std::optional<APMETaskManager::Snapshots>
APMETaskManager::experimentSnapshotsFromExperimentResponse(
    const APMPBExperimentResponse* response) {
    if (!response) {
        monitor().logWithLevel(2, 820015, "Cannot create experiment snapshots from nil response");
        return std::nullopt;
    }
    std::vector<std::shared_ptr<APMPBSnapshot>> messages;
    if (auto array = APMPBGetArray(response, kAPMPBExperimentResponseSnapshots,
                                   APMPBSnapshot::classObject())) {
        for (const auto& element : *array) {
            messages.push_back(std::static_pointer_cast<APMPBSnapshot>(element.message()));
        }
    }
    if (messages.empty()) {
        auto answers = APMPBGetArray(response, kAPMPBExperimentResponseSDKResponses,
                                     APMPBSdkResponse::classObject());
        for (const auto& element : answers.value_or(std::vector<APMPBObject>{})) {
            const auto* answer = element.message().get();
            if (!APMPBHasField(answer, kAPMPBSdkResponseSnapshot)) continue;
            auto snapshot = APMPBGetMessage<APMPBSnapshot>(answer, kAPMPBSdkResponseSnapshot);
            if (!snapshot) continue;
            auto name = APMPBGetString(answer, kAPMPBSdkResponseSDKName);
            if (name && !name->empty()) {
                APMPBSetString(snapshot.get(), kAPMPBSnapshotSDKName, Value(*name));
            }
            messages.push_back(std::move(snapshot));
        }
    }
    // A hostile answer may hold many refusable snapshots: each costs a check,
    // the refusals one monitored line for the whole answer.
    Snapshots snapshots;
    long long refused = 0;
    for (const auto& message : messages) {
        const auto name =
            message ? APMPBGetString(message.get(), kAPMPBSnapshotSDKName) : std::nullopt;
        auto snapshot =
            name && !name->empty() && snapshots.size() < kAPMExperimentMaxSnapshotsPerAnswer
                ? APMESnapshot::initWithProtobuf(message.get())
                : nullptr;
        if (!snapshot) {
            ++refused;
            continue;
        }
        snapshots.push_back(std::move(snapshot));
    }
    if (refused > 0) {
        monitor().logWithLevel(2, 820016, "Cannot create snapshots from the proto. Refused",
                               Value(refused));
    }
    return snapshots;
}

std::optional<std::map<std::string, NSError>> APMETaskManager::errorsFromExperimentResponse(
    const APMPBExperimentResponse* response) {
    if (!response) return std::nullopt;
    auto answers = APMPBGetArray(response, kAPMPBExperimentResponseSDKResponses,
                                 APMPBSdkResponse::classObject());
    if (!answers || answers->empty()) return std::nullopt;
    std::map<std::string, NSError> errors;
    for (const auto& element : *answers) {
        const auto* answer = element.message().get();
        const auto code =
            static_cast<std::uint32_t>(APMPBGetInt32(answer, kAPMPBSdkResponseErrorCode));
        auto name = APMPBGetString(answer, kAPMPBSdkResponseSDKName);
        if (code == 0 || !name || name->empty()) continue;
        errors[*name] = NSError(kAPMExperimentErrorDomain, serverErrorCode(code));
    }
    return errors;
}

std::optional<APMETaskManager::Snapshots> APMETaskManager::experimentSnapshotsFromData(
    const Data& data) {
    if (data.empty()) {
        monitor().logWithLevel(2, 820025, "Cannot create experiment snapshots from empty data");
        return std::nullopt;
    }
    auto response = APMPBExperimentResponse::initWithBuffer(data);
    if (!response) return std::nullopt;
    return experimentSnapshotsFromExperimentResponse(response.get());
}

void APMETaskManager::activatePendingSnapshot(const std::shared_ptr<APMESnapshot>& snapshot,
                                              double timestamp) {
    if (!snapshot) {
        monitor().logWithLevel(0, 820013, "Cannot activate an empty snapshot");
        return;
    }
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    dispatchAsyncOnWorkerQueue([weak, snapshot, timestamp] {
        auto self = weak.lock();
        if (!self || !self->database_) return;
        self->database_->performTransaction([&] {
            NSError error;
            if (self->database_->activateSnapshot(snapshot, timestamp, &error)) return true;
            monitor().logWithLevel(1, 820014, "Cannot activate snapshot for SDK Name. Error",
                                   Value(snapshot->SDKName()), Value(error.localizedDescription()));
            return false;
        });
    });
}

void APMETaskManager::resetToDefaultsForSDKName(const std::string& SDKName) {
    if (SDKName.empty()) {
        monitor().logWithLevel(1, 820018, "Cannot reset to defaults for empty SDK name");
        return;
    }
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    dispatchAsyncOnWorkerQueue([weak, SDKName] {
        auto self = weak.lock();
        if (!self || !self->database_) return;
        NSError error;
        if (!self->database_->deleteActivatedExperimentsOfSDKName(SDKName, &error)) {
            monitor().logWithLevel(1, 820019,
                                   "Cannot reset to defaults in the database. SDK Name, error",
                                   Value(SDKName), Value(error.localizedDescription()));
        }
    });
}

void APMETaskManager::upsertPendingSnapshots(const Snapshots& snapshots) {
    if (snapshots.empty()) {
        monitor().logWithLevel(2, 820020, "Cannot upsert empty pending snapshot list");
        return;
    }
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    dispatchAsyncOnWorkerQueue([weak, snapshots] {
        auto self = weak.lock();
        if (!self || !self->database_) return;
        NSError error;
        if (self->database_->upsertPendingExperimentSnapshots(snapshots, &error)) {
            if (auto delegate = self->delegate()) {
                delegate->taskManagerDidUpsertPendingSnapshots(*self, snapshots);
            }
        } else {
            monitor().logWithLevel(1, 820021,
                                   "Cannot upsert pending snapshots into the database. Error",
                                   Value(error.localizedDescription()));
        }
    });
}

void APMETaskManager::reset() {
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    dispatchAsyncOnWorkerQueue([weak] {
        auto self = weak.lock();
        if (!self || !self->database_) return;
        self->database_->reset();
        self->persistedStorage_->removeObjectForKey(kAPMExperimentFetchBackoffTimestampKey);
        self->persistedStorage_->removeObjectForKey(kAPMExperimentFetchFailureTimestampKey);
        self->persistedStorage_->removeObjectForKey(kAPMExperimentFetchSuccessTimestampKey);
        self->scheduleFetchingExperimentsOnWorkerQueue();
    });
}
