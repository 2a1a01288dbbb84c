#include "services/transport/ZDTCORFlatFileStorage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/FileSystem.h"
#include "services/transport/ZDTCORConsoleLogger.h"
#include "services/transport/ZDTCORFlatFileNames.h"
#include "services/transport/ZDTCORPlatform.h"
#include "services/transport/ZDTCORRegistrar.h"
#include "services/transport/ZDTCORUploadCoordinator.h"
#include "services/util/PRMPromise.h"

namespace fs = std::filesystem;

namespace {
std::atomic<int> gFailMoves{0};
std::atomic<int> gFailMoveError{0};

// The one place event files are moved, so tests can make moves fail.
bool moveFile(const std::string& from, const std::string& to, int* error) {
    if (gFailMoves.load() > 0 && gFailMoves.fetch_sub(1) > 0) {
        *error = gFailMoveError.load();
        return false;
    }
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    *error = errno;
    return false;
}

NSError genericError(const std::string& reason) {
    Dictionary info;
    info.set("NSLocalizedFailureReason", reason);
    return NSError(ZDTCORFlatFileStorage::kErrorDomain, -1, std::move(info));
}

NSError invalidInputError() {
    return NSError("NSInternalInconsistencyException", -1);
}

NSError posixError(int code) {
    return NSError::withDescription("NSPOSIXErrorDomain", code, std::strerror(code));
}

// Event names are made of alphanumerics, "-" and "%": anything with a "."
// is a temporary of an interrupted write (or not ours).
bool isCandidateName(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.find('.') == std::string::npos;
}

std::uint64_t wholeSeconds(const Date& date) {
    const double seconds = date.unixSeconds();
    return seconds <= 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

// Only a regular file is read, opened without blocking (a FIFO or device
// with a store name must not hold the queue) and no further than limit
// bytes: a longer file gives EFBIG.
std::optional<Data> readRegularFile(const std::string& path, std::uint64_t limit, int* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = errno;
        return std::nullopt;
    }
    struct stat status {};
    std::optional<Data> data;
    if (::fstat(fd, &status) != 0) {
        *error = errno;
    } else if (!S_ISREG(status.st_mode)) {
        *error = S_ISDIR(status.st_mode) ? EISDIR : ENODEV;
    } else if (static_cast<std::uint64_t>(status.st_size) > limit) {
        *error = EFBIG;
    } else {
        Data bytes(static_cast<std::size_t>(status.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (done == bytes.size()) {
            data = std::move(bytes);
        } else {
            // Shorter than it said: changed under us; read it another time.
            *error = EIO;
        }
    }
    ::close(fd);
    return data;
}

std::vector<std::string> listDirectory(const std::string& path, std::error_code& ec) {
    std::vector<std::string> names;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    return names;
}
}  // namespace

namespace sim {
void failNextTransportMoves(int count, int error) {
    gFailMoveError = error;
    gFailMoves = count;
}
}  // namespace sim

std::shared_ptr<ZDTCORFlatFileStorage> ZDTCORFlatFileStorage::sharedInstance() {
    static const auto* shared = new auto([] {
        auto storage = std::make_shared<ZDTCORFlatFileStorage>(ZDTCORStateDirectory().path());
        auto coordinator = ZDTCORUploadCoordinator::sharedInstance();
        storage->setForceUploadHandler(
            [coordinator](ZDTCORTarget t) { coordinator->forceUploadForTarget(t); });
        auto registrar = ZDTCORRegistrar::sharedInstance();
        for (ZDTCORTarget target : {ZDTCORTargetStorageOnly, ZDTCORTargetLGS, ZDTCORTargetRLG,
                                    ZDTCORTargetCRS, ZDTCORTargetINT}) {
            registrar->registerStorage(storage, target);
        }
        storage->checkForExpirations();
        return storage;
    }());
    return *shared;
}

ZDTCORFlatFileStorage::ZDTCORFlatFileStorage(std::string rootPath)
    : rootPath_(std::move(rootPath)),
      queue_(DispatchQueue::create("com.zevera.ZDTCORFlatFileStorage")),
      sizeTracker_(rootPath_) {
    ZDTCOREvent::registerCoding();
    queue_->async([this] { removeTemporariesOnQueue(); });
}

ZDTCORFlatFileStorage::~ZDTCORFlatFileStorage() {
    queue_->sync([] {});
}

void ZDTCORFlatFileStorage::setForceUploadHandler(std::function<void(ZDTCORTarget)> handler) {
    queue_->sync([&] { forceUpload_ = std::move(handler); });
}

std::string ZDTCORFlatFileStorage::storeDirectory(const char* name) const {
    const std::string path = rootPath_ + "/ZDTCORFlatFileStorage/" + name;
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        ZDTCORAssert(false, "Creating the %@ path failed: %@", {std::string(name), ec.message()});
    return path;
}

std::string ZDTCORFlatFileStorage::eventDataStoragePath() const {
    return storeDirectory("zdt_event_data");
}
std::string ZDTCORFlatFileStorage::batchDataStoragePath() const {
    return storeDirectory("zdt_batch_data");
}
std::string ZDTCORFlatFileStorage::libraryDataStoragePath() const {
    return storeDirectory("zdt_library_data");
}

std::string ZDTCORFlatFileStorage::batchPathForTarget(ZDTCORTarget target, std::int64_t batchID,
                                                      const Date& expiration) const {
    return batchDataStoragePath() + "/" + std::to_string(target) + "-" + std::to_string(batchID) +
           "-" + std::to_string(wholeSeconds(expiration));
}

std::string ZDTCORFlatFileStorage::pathForTarget(ZDTCORTarget target, const std::string& eventID,
                                                 ZDTCOREventQoS tier, const Date& expiration,
                                                 const std::string& mappingID) const {
    return eventDataStoragePath() + "/" + std::to_string(target) + "/" + eventID + "-" +
           std::to_string(tier) + "-" + std::to_string(wholeSeconds(expiration)) + "-" +
           percentEncodeMappingID(mappingID);
}

std::string ZDTCORFlatFileStorage::percentEncodeMappingID(const std::string& mappingID) {
    return ZDTCORPercentEncodeMappingID(mappingID);
}

std::string ZDTCORFlatFileStorage::percentDecode(const std::string& text) {
    return ZDTCORPercentDecode(text);
}

std::optional<ZDTCORFlatFileStorage::EventComponents>
ZDTCORFlatFileStorage::eventComponentsFromFilename(const std::string& name) {
    auto c = ZDTCORParseEventFileName(name);
    if (!c) {
        ZDTCORLogDebug("There was an error parsing the event filename components: %@", {name});
        return std::nullopt;
    }
    return c;
}

std::optional<ZDTCORFlatFileStorage::BatchComponents>
ZDTCORFlatFileStorage::batchComponentsFromFilename(const std::string& name) {
    auto c = ZDTCORParseBatchDirName(name);
    if (!c) {
        ZDTCORLogDebug("There was an error parsing the batch filename components: %@", {name});
        return std::nullopt;
    }
    return c;
}

void ZDTCORFlatFileStorage::storeEvent(std::shared_ptr<ZDTCOREvent> event,
                                       ZDTCORStoreCompletion completion) {
    if (!event || !event->serializedDataObjectBytes()) {
        ZDTCORLogDebug("%@", {std::string("The event was nil, so it was not saved.")});
        if (completion) completion(false, invalidInputError());
        return;
    }
    if (!completion) {
        completion = [id = event->eventID()](bool written, std::optional<NSError> error) {
            ZDTCORLogDebug("event %@ stored. success:%@ error:%@",
                           {id, std::string(written ? "YES" : "NO"),
                            error ? error->localizedDescription() : std::string("(null)")});
        };
    }
    auto app = ZDTCORApplication::sharedApplication();
    auto taskID = std::make_shared<std::atomic<ZDTCORBackgroundIdentifier>>(0);
    taskID->store(app->beginBackgroundTaskWithName("ZDTStorage", [app, taskID] {
        app->endBackgroundTask(taskID->load());
        taskID->store(0);
    }));
    queue_->async([this, event, completion, app, taskID] {
        // A missing expiry would make the sweep drop the event at once.
        const Date expiration = event->expirationDate().value_or(
            Date::fromUnix(sim::wallClockSeconds() + ZDTCOREvent::kDefaultLifetimeSeconds));
        const std::string path = pathForTarget(event->target(), event->eventID(), event->qosTier(),
                                               expiration, event->mappingID());
        NSError error;
        auto archive = ZDTCORArchiveObject(event, "", &error);
        if (!archive) {
            completion(false, error);
        } else if (sizeTracker_.directoryContentSize() + archive->size() > kSizeLimitBytes) {
            Dictionary info;
            info.set("NSLocalizedFailureReason",
                     std::string("Storage size limit has been reached."));
            completion(false, NSError(kErrorDomain, 0, std::move(info)));
        } else if (!ZDTCORWriteArchiveData(*archive, path, &error)) {
            completion(false, error);
        } else {
            completion(true, std::nullopt);
            sizeTracker_.fileWasAddedAtPath(path, archive->size());
            if (event->qosTier() == ZDTCOREventQoSImmediate && forceUpload_)
                forceUpload_(event->target());
        }
        app->endBackgroundTask(taskID->load());
        taskID->store(0);
    });
}

void ZDTCORFlatFileStorage::hasEventsForTarget(ZDTCORTarget target,
                                               std::function<void(bool)> completion) {
    queue_->async([this, target, completion] {
        const std::string dir = eventDataStoragePath() + "/" + std::to_string(target);
        std::error_code ec;
        fs::create_directories(dir, ec);
        bool any = false;
        for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (isCandidateName(it->path().filename().string())) {
                any = true;
                break;
            }
        }
        if (completion) completion(any);
    });
}

std::optional<Data> ZDTCORFlatFileStorage::readLibraryValue(const std::string& key,
                                                            std::optional<NSError>* error) {
    int code = 0;
    auto data = readRegularFile(libraryDataStoragePath() + "/" + key, kSizeLimitBytes, &code);
    if (!data && error) *error = posixError(code);
    return data;
}

std::optional<std::int64_t> ZDTCORFlatFileStorage::highestBatchID() {
    std::error_code ec;
    std::optional<std::int64_t> highest;
    for (const auto& name : listDirectory(batchDataStoragePath(), ec)) {
        if (auto c = batchComponentsFromFilename(name))
            highest = std::max(highest.value_or(c->batchID), c->batchID);
    }
    return highest;
}

std::optional<std::int64_t> ZDTCORFlatFileStorage::nextBatchIDOnQueue() {
    std::optional<NSError> error;
    auto stored = readLibraryValue(kBatchIDCounterKey, &error);
    std::int32_t next = 0;
    bool valid = false;
    if (stored && stored->size() == sizeof next) {
        std::memcpy(&next, stored->data(), sizeof next);
        valid = next >= 0;
    }
    if (!valid && stored) {
        ZDTCORLogDebug("The batch counter was refused, %ld bytes",
                       {static_cast<long long>(stored->size())});
    }
    // Past every batch on disk whatever the counter says: a stale counter
    // would hand out an ID that another target's batch still has, and its
    // removal would take both.
    const auto highest = highestBatchID();
    if (highest && *highest >= 0) {
        const std::int32_t past = *highest < std::numeric_limits<std::int32_t>::max()
                                      ? static_cast<std::int32_t>(*highest + 1)
                                      : 0;
        if (!valid || past > next) next = past;
    } else if (!valid) {
        next = 0;
    }
    const std::int32_t after = next == std::numeric_limits<std::int32_t>::max() ? 0 : next + 1;
    Data bytes(sizeof after);
    std::memcpy(bytes.data(), &after, sizeof after);
    const std::string path = libraryDataStoragePath() + "/" + kBatchIDCounterKey;
    const auto oldSize = ZDTCORDirectorySizeTracker::fileSizeAtPath(path);
    bool written = sim::FileSystem::writeFileAtomically(path, bytes);
    if (!written) {
        // Something that is not the counter (a folder) may sit at its path.
        std::error_code ec;
        if (fs::exists(fs::symlink_status(path, ec)) &&
            !fs::is_regular_file(fs::symlink_status(path, ec))) {
            fs::remove_all(path, ec);
            written = sim::FileSystem::writeFileAtomically(path, bytes);
        }
    }
    if (written) {
        sizeTracker_.fileWasRemovedAtPath(path, oldSize);
        sizeTracker_.fileWasAddedAtPath(path, bytes.size());
    } else {
        // The ID is still unique among the batches on disk; batching goes on.
        ZDTCORLogDebug("Error writing new value in libraryDataForKey: %@",
                       {std::string(kBatchIDCounterKey)});
        sizeTracker_.resetCachedSize();
    }
    return next;
}

std::set<std::string> ZDTCORFlatFileStorage::pathsOnQueue(
    const ZDTCORStorageEventSelector& selector) {
    std::set<std::string> paths;
    const std::string dir = eventDataStoragePath() + "/" + std::to_string(selector.selectedTarget);
    std::error_code ec;
    fs::create_directories(dir, ec);
    ec.clear();
    const auto names = listDirectory(dir, ec);
    if (ec) {
        ZDTCORLogDebug("There was an error reading the contents of the target path: %@",
                       {ec.message()});
        return paths;
    }
    const bool takeAll = selector.selectedEventIDs.empty() && selector.selectedQosTiers.empty() &&
                         selector.selectedMappingIDs.empty();
    for (const auto& name : names) {
        if (!isCandidateName(name)) continue;
        if (!takeAll) {
            auto c = eventComponentsFromFilename(name);
            if (!c) {
                ZDTCORLogDebug("There was an error reading the filename components: %@", {name});
                continue;
            }
            if (!selector.selectedEventIDs.empty() && !selector.selectedEventIDs.count(c->eventID))
                continue;
            if (!selector.selectedQosTiers.empty() && !selector.selectedQosTiers.count(c->qosTier))
                continue;
            if (!selector.selectedMappingIDs.empty() &&
                !selector.selectedMappingIDs.count(percentDecode(c->mappingID))) {
                continue;
            }
        }
        paths.insert(dir + "/" + name);
    }
    return paths;
}

void ZDTCORFlatFileStorage::batchWithEventSelector(const ZDTCORStorageEventSelector& selector,
                                                   Date batchExpiration,
                                                   ZDTCORBatchCompletion completion) {
    queue_->async([this, selector, batchExpiration, completion] {
        auto batchID = nextBatchIDOnQueue();
        if (!batchID) {
            if (completion) completion(std::nullopt, std::nullopt);
            return;
        }
        std::vector<std::shared_ptr<ZDTCOREvent>> events;
        for (const auto& path : pathsOnQueue(selector)) {
            int readError = 0;
            const auto bytes = readRegularFile(path, kSizeLimitBytes, &readError);
            if (!bytes && readError != EFBIG) {
                // Not a failure to decode (EIO, EMFILE, not a regular file):
                // the event stays for a later batch.
                ZDTCORLogDebug("An event file could not be read: %@, %@",
                               {path, std::string(std::strerror(readError))});
                continue;
            }
            auto event =
                bytes
                    ? ZDTCORUnarchiveObject(ZDTCOREvent::kClassName, path, bytes).as<ZDTCOREvent>()
                    : nullptr;
            if (!event) {
                ZDTCORLogDebug("Error deserializing event: %@", {path});
                std::error_code ec;
                fs::remove(path, ec);
                continue;
            }
            const std::string dir =
                batchPathForTarget(selector.selectedTarget, *batchID, batchExpiration);
            std::error_code ec;
            fs::create_directories(dir, ec);
            int error = 0;
            if (!moveFile(path, dir + "/" + fs::path(path).filename().string(), &error)) {
                // Left in the store, it would be sent again with a later batch.
                ZDTCORLogDebug("An event file wasn't moveable into the batch directory: %@",
                               {std::string(std::strerror(error))});
                continue;
            }
            events.push_back(event);
        }
        if (!completion) return;
        if (events.empty()) {
            completion(std::nullopt, std::nullopt);
        } else {
            completion(*batchID, std::move(events));
        }
    });
}

std::vector<std::string> ZDTCORFlatFileStorage::batchDirPathsForBatchID(std::int64_t batchID) {
    std::vector<std::string> dirs;
    const std::string store = batchDataStoragePath();
    std::error_code ec;
    const auto names = listDirectory(store, ec);
    if (ec) {
        ZDTCORLogDebug("Failed to find event file paths for batchID: %@, error: %@",
                       {static_cast<long long>(batchID), ec.message()});
        return dirs;
    }
    for (const auto& name : names) {
        auto c = batchComponentsFromFilename(name);
        if (c && c->batchID == batchID) dirs.push_back(store + "/" + name);
    }
    return dirs;
}

bool ZDTCORFlatFileStorage::moveContentsOfDirectory(const std::string& from,
                                                    const std::string& to) {
    std::error_code ec;
    fs::create_directories(to, ec);
    ec.clear();
    const auto names = listDirectory(from, ec);
    if (ec) return false;
    bool allMoved = true;
    for (const auto& name : names) {
        int error = 0;
        if (!moveFile(from + "/" + name, to + "/" + name, &error)) allMoved = false;
    }
    return allMoved;
}

void ZDTCORFlatFileStorage::removeBatchOnQueue(std::int64_t batchID, bool deleteEvents) {
    for (const auto& dir : batchDirPathsForBatchID(batchID)) {
        if (!deleteEvents) {
            auto c = batchComponentsFromFilename(fs::path(dir).filename().string());
            const bool moved = c && moveContentsOfDirectory(dir, eventDataStoragePath() + "/" +
                                                                     std::to_string(c->target));
            if (!moved) {
                // Keep the batch: its events come back on a later removal or sweep.
                ZDTCORLogDebug("Error encountered whilst moving events back: %@", {dir});
                continue;
            }
            ZDTCORLogDebug("Batched events at path: %@ moved back to the storage: %@",
                           {dir, std::string("YES")});
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
        if (ec) {
            ZDTCORLogDebug("Failed to remove batch at path: %@", {dir});
        } else {
            ZDTCORLogDebug("Batch removed at path: %@", {dir});
        }
    }
    sizeTracker_.resetCachedSize();
}

void ZDTCORFlatFileStorage::removeBatchWithID(std::int64_t batchID, bool deleteEvents,
                                              std::function<void()> completion) {
    queue_->async([this, batchID, deleteEvents, completion] {
        removeBatchOnQueue(batchID, deleteEvents);
        if (completion) completion();
    });
}

std::optional<std::set<std::int64_t>> ZDTCORFlatFileStorage::batchIDsOnQueue(ZDTCORTarget target) {
    std::error_code ec;
    const auto names = listDirectory(batchDataStoragePath(), ec);
    if (ec || names.empty()) return std::nullopt;
    std::set<std::int64_t> ids;
    for (const auto& name : names) {
        auto c = batchComponentsFromFilename(name);
        if (c && static_cast<std::int32_t>(c->target) == static_cast<std::int32_t>(target))
            ids.insert(c->batchID);
    }
    return ids;
}

void ZDTCORFlatFileStorage::batchIDsForTarget(
    ZDTCORTarget target, std::function<void(std::optional<std::set<std::int64_t>>)> completion) {
    queue_->async([this, target, completion] {
        auto ids = batchIDsOnQueue(target);
        if (completion) completion(std::move(ids));
    });
}

void ZDTCORFlatFileStorage::removeTemporariesOnQueue() {
    for (const auto& store : {eventDataStoragePath(), batchDataStoragePath()}) {
        std::error_code ec;
        std::vector<fs::path> leftovers;
        for (fs::recursive_directory_iterator it(store, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->path().filename().string().find(".tmp.") != std::string::npos)
                leftovers.push_back(it->path());
        }
        for (const auto& path : leftovers) fs::remove(path, ec);
    }
}

void ZDTCORFlatFileStorage::checkForExpirationsOnQueue() {
    ZDTCORLogDebug("%@", {std::string("Checking for expired events and batches")});
    const double now = sim::wallClockSeconds();
    std::error_code ec;
    for (const auto& name : listDirectory(batchDataStoragePath(), ec)) {
        auto c = batchComponentsFromFilename(name);
        if (c && c->expiration < now) removeBatchOnQueue(c->batchID, false);
    }
    std::vector<fs::path> expired;
    ec.clear();
    for (fs::recursive_directory_iterator it(eventDataStoragePath(), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!isCandidateName(name) || it->is_directory()) continue;
        auto c = eventComponentsFromFilename(name);
        if (c && static_cast<double>(c->expiration) < now) expired.push_back(it->path());
    }
    for (const auto& path : expired) {
        std::error_code removeError;
        if (fs::remove(path, removeError)) {
            ZDTCORLogDebug("Item deleted because it expired: %@", {path.string()});
        } else {
            ZDTCORLogDebug("There was an error deleting an expired item: %@",
                           {removeError.message()});
        }
    }
    sizeTracker_.resetCachedSize();
}

void ZDTCORFlatFileStorage::checkForExpirations() {
    queue_->async([this] { checkForExpirationsOnQueue(); });
}

void ZDTCORFlatFileStorage::storeLibraryData(const std::optional<Data>& data,
                                             const std::string& key,
                                             ZDTCORErrorCompletion completion) {
    if (!data || data->empty() || key.empty()) {
        if (completion) completion(invalidInputError());
        return;
    }
    queue_->async([this, data = *data, key, completion] {
        const std::string path = libraryDataStoragePath() + "/" + key;
        int code = 0;
        std::optional<NSError> error;
        if (sim::FileSystem::writeFileAtomically(path, data, &code)) {
            sizeTracker_.fileWasAddedAtPath(path, data.size());
        } else {
            error = posixError(code);
        }
        if (completion) completion(error);
    });
}

void ZDTCORFlatFileStorage::libraryDataForKey(
    const std::string& key,
    std::function<void(std::optional<Data>, std::optional<NSError>)> onFetchComplete,
    std::function<std::optional<Data>()> setNewValue) {
    queue_->async([this, key, onFetchComplete, setNewValue] {
        std::optional<NSError> error;
        auto data = readLibraryValue(key, &error);
        if (onFetchComplete) onFetchComplete(data, error);
        if (!setNewValue) return;
        auto next = setNewValue();
        if (!next || next->empty()) return;
        const std::string path = libraryDataStoragePath() + "/" + key;
        if (sim::FileSystem::writeFileAtomically(path, *next)) {
            sizeTracker_.fileWasRemovedAtPath(path, data ? data->size() : 0);
            sizeTracker_.fileWasAddedAtPath(path, next->size());
        } else {
            ZDTCORLogDebug("Error writing new value in libraryDataForKey: %@", {key});
        }
    });
}

void ZDTCORFlatFileStorage::removeLibraryDataForKey(const std::string& key,
                                                    ZDTCORErrorCompletion completion) {
    queue_->async([this, key, completion] {
        const std::string path = libraryDataStoragePath() + "/" + key;
        const auto size = ZDTCORDirectorySizeTracker::fileSizeAtPath(path);
        std::optional<NSError> error;
        std::error_code ec;
        if (fs::remove(path, ec)) {
            sizeTracker_.fileWasRemovedAtPath(path, size);
        } else if (ec) {
            error = posixError(ec.value());
        }
        if (completion) completion(error);
    });
}

void ZDTCORFlatFileStorage::storageSizeWithCallback(std::function<void(std::uint64_t)> callback) {
    if (!callback) return;
    queue_->async([this, callback] { callback(sizeTracker_.directoryContentSize()); });
}

std::shared_ptr<PRMPromise> ZDTCORFlatFileStorage::batchIDsForTarget(ZDTCORTarget target) {
    auto promise = PRMPromise::pendingPromise();
    batchIDsForTarget(target, [promise](std::optional<std::set<std::int64_t>> ids) {
        if (!ids) {
            promise->fulfill(nullptr);
            return;
        }
        Array values;
        for (auto id : *ids) values.emplace_back(static_cast<long long>(id));
        promise->fulfill(Value(std::move(values)));
    });
    return promise;
}

std::shared_ptr<PRMPromise> ZDTCORFlatFileStorage::removeBatchWithID(std::int64_t batchID,
                                                                     bool deleteEvents) {
    auto promise = PRMPromise::pendingPromise();
    removeBatchWithID(batchID, deleteEvents, [promise] { promise->fulfill(nullptr); });
    return promise;
}

std::shared_ptr<PRMPromise> ZDTCORFlatFileStorage::removeBatchesWithIDs(
    const std::set<std::int64_t>& batchIDs, bool deleteEvents) {
    auto promise = PRMPromise::pendingPromise();
    // One serial queue: the last removal's completion runs after all others.
    queue_->async([this, batchIDs, deleteEvents, promise] {
        for (auto id : batchIDs) removeBatchOnQueue(id, deleteEvents);
        promise->fulfill(PRMValue::null());
    });
    return promise;
}

std::shared_ptr<PRMPromise> ZDTCORFlatFileStorage::removeAllBatchesForTarget(ZDTCORTarget target,
                                                                             bool deleteEvents) {
    auto promise = PRMPromise::pendingPromise();
    queue_->async([this, target, deleteEvents, promise] {
        if (auto ids = batchIDsOnQueue(target)) {
            for (auto id : *ids) removeBatchOnQueue(id, deleteEvents);
        }
        promise->fulfill(PRMValue::null());
    });
    return promise;
}

std::shared_ptr<PRMPromise> ZDTCORFlatFileStorage::hasEventsForTarget(ZDTCORTarget target) {
    auto promise = PRMPromise::pendingPromise();
    hasEventsForTarget(target, [promise](bool any) { promise->fulfill(any); });
    return promise;
}

std::shared_ptr<PRMPromise> ZDTCORFlatFileStorage::batchWithEventSelector(
    const ZDTCORStorageEventSelector& selector, Date batchExpiration) {
    auto promise = PRMPromise::pendingPromise();
    batchWithEventSelector(
        selector, batchExpiration,
        [promise](std::optional<std::int64_t> batchID,
                  std::optional<std::vector<std::shared_ptr<ZDTCOREvent>>> events) {
            if (batchID && events) {
                promise->fulfill(std::make_shared<ZDTCORUploadBatch>(*batchID, std::move(*events)));
            } else {
                promise->reject(genericError("There are no events for the selector."));
            }
        });
    return promise;
}

void ZDTCORFlatFileStorage::appWillBackground(ZDTCORApplicationProtocol& app) {
    queue_->async([&app] {
        auto id = app.beginBackgroundTaskWithName("ZDTStorage", [] {});
        app.endBackgroundTask(id);
    });
}

void ZDTCORFlatFileStorage::appWillTerminate(ZDTCORApplicationProtocol&) {
    queue_->sync([] {});
}
