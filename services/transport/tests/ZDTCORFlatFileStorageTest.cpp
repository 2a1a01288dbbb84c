#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/FileSystem.h"
#include "platform/log/Log.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "services/transport/ZDTCORFlatFileStorage.h"
#include "services/transport/ZDTCORLifecycle.h"
#include "services/transport/ZDTCORRegistrar.h"
#include "services/transport/ZDTCORTransformer.h"
#include "services/transport/ZDTCORUploadCoordinator.h"
#include "services/transport/tests/TemporaryHome.h"

namespace fs = std::filesystem;

namespace {

struct Payload : ZDTCOREventDataObject {
    Data transportBytes() const override { return Data(16, 7); }
};

std::set<std::string> namesIn(const fs::path& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        names.insert(it->path().filename().string());
    }
    return names;
}

class ZDTCORFlatFileStorageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::setLogEcho(false);
        sim::useVirtualClock();
        storage = std::make_shared<ZDTCORFlatFileStorage>(root());
        storage->setForceUploadHandler([this](ZDTCORTarget t) { forced.push_back(t); });
    }
    void TearDown() override {
        sim::failNextTransportMoves(0, 0);
        sim::useRealClock();
    }
    std::string root() const { return home.path() + "/root"; }
    fs::path events(ZDTCORTarget target) const {
        return fs::path(root()) / "ZDTCORFlatFileStorage/zdt_event_data" / std::to_string(target);
    }
    fs::path batches() const { return fs::path(root()) / "ZDTCORFlatFileStorage/zdt_batch_data"; }
    fs::path counter() const {
        return fs::path(root()) /
               "ZDTCORFlatFileStorage/zdt_library_data/ZDTCORFlatFileStorageBatchIDCounter";
    }
    void drain() { storage->appWillTerminate(*ZDTCORApplication::sharedApplication()); }

    std::shared_ptr<ZDTCOREvent> makeEvent(ZDTCORTarget target, ZDTCOREventQoS tier = 3,
                                           const std::string& mapping = "137") {
        auto event = ZDTCOREvent::initWithMappingID(mapping, target);
        event->setDataObject(std::make_shared<Payload>());
        event->setQosTier(tier);
        return event;
    }
    bool store(const std::shared_ptr<ZDTCOREvent>& event, std::optional<NSError>* error = nullptr) {
        bool written = false;
        storage->storeEvent(event, [&](bool ok, std::optional<NSError> e) {
            written = ok;
            if (error) *error = e;
        });
        drain();
        return written;
    }
    struct Batch {
        std::optional<std::int64_t> id;
        std::vector<std::shared_ptr<ZDTCOREvent>> events;
    };
    Batch batch(const ZDTCORStorageEventSelector& selector, double expiresIn = 600) {
        Batch result;
        storage->batchWithEventSelector(
            selector, Date::fromUnix(sim::wallClockSeconds() + expiresIn),
            [&](std::optional<std::int64_t> id,
                std::optional<std::vector<std::shared_ptr<ZDTCOREvent>>> events) {
                result.id = id;
                if (events) result.events = *events;
            });
        drain();
        return result;
    }
    static ZDTCORStorageEventSelector target(ZDTCORTarget t) {
        ZDTCORStorageEventSelector selector;
        selector.selectedTarget = t;
        return selector;
    }

    TemporaryHome home;
    std::shared_ptr<ZDTCORFlatFileStorage> storage;
    std::vector<ZDTCORTarget> forced;
};

TEST_F(ZDTCORFlatFileStorageTest, StoresOneFilePerEventAndForcesImmediateUploads) {
    auto immediate = makeEvent(1002, ZDTCOREventQoSImmediate, "1206");
    immediate->setExpirationDate(Date::fromUnix(999.9));
    EXPECT_TRUE(store(immediate));
    EXPECT_EQ(namesIn(events(1002)), std::set<std::string>{immediate->eventID() + "-4-999-1206"});
    EXPECT_EQ(forced, std::vector<ZDTCORTarget>{1002});

    auto spaced = makeEvent(999, 3, "a b-c");
    EXPECT_TRUE(store(spaced));
    EXPECT_EQ(forced.size(), 1u);
    const std::string name = *namesIn(events(999)).begin();
    EXPECT_NE(name.find("-a%20b-c"), std::string::npos) << name;
    auto parsed = ZDTCORFlatFileStorage::eventComponentsFromFilename(name);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(ZDTCORFlatFileStorage::percentDecode(parsed->mappingID), "a b-c");

    auto selector = target(999);
    selector.selectedMappingIDs = {"a b-c"};
    auto b = batch(selector);
    ASSERT_EQ(b.events.size(), 1u);
    EXPECT_EQ(b.events[0]->eventID(), spaced->eventID());

    // Invalid input is refused on the caller's thread.
    auto empty = ZDTCOREvent::initWithMappingID(std::string("1"), 1001);
    std::optional<NSError> error;
    bool called = false;
    storage->storeEvent(empty, [&](bool ok, std::optional<NSError> e) {
        called = !ok;
        error = e;
    });
    EXPECT_TRUE(called);
    EXPECT_EQ(error->domain, "NSInternalInconsistencyException");
}

TEST_F(ZDTCORFlatFileStorageTest, SizeLimitCountsTheArchive) {
    auto first = makeEvent(1001);
    auto second = makeEvent(1001);
    const auto length = ZDTCORArchiveObject(first, "")->size();
    ASSERT_EQ(length, ZDTCORArchiveObject(second, "")->size());
    fs::create_directories(root());
    std::ofstream(fs::path(root()) / "padding").close();
    fs::resize_file(fs::path(root()) / "padding", ZDTCORFlatFileStorage::kSizeLimitBytes - length);

    EXPECT_TRUE(store(first));
    std::optional<NSError> error;
    EXPECT_FALSE(store(second, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "ZDTCORFlatFileStorage");
    EXPECT_EQ(error->code, 0);
    EXPECT_EQ(error->userInfo["NSLocalizedFailureReason"].asString(),
              std::optional<std::string>("Storage size limit has been reached."));
    EXPECT_EQ(namesIn(events(1001)).size(), 1u);
}

TEST_F(ZDTCORFlatFileStorageTest, TheFirstBatchIsZero) {
    store(makeEvent(1001));
    EXPECT_EQ(batch(target(1001)).id, 0);
}

TEST_F(ZDTCORFlatFileStorageTest, BatchNumbering) {
    EXPECT_FALSE(batch(target(1001)).id);  // no events: the ID is used up all the same
    EXPECT_EQ(*sim::FileSystem::readFile(counter()), (Data{1, 0, 0, 0}));
    store(makeEvent(1001));
    EXPECT_EQ(batch(target(1001)).id, 1);

    struct Case {
        Data counter;
        std::int64_t expected;
    };
    // An unusable counter goes past the batches on disk, never to -1 (a name
    // batch operations ignore), and a short file is never read past its end.
    const Case cases[] = {
        {Data{5, 0, 0, 0}, 5},
        {Data{0xFF, 0xFF, 0xFF, 0xFF}, 6},
        {Data{9, 0}, 7},
        {Data{0xFF, 0xFF, 0xFF, 0x7F}, 2147483647},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(sim::FileSystem::writeFileAtomically(counter(), c.counter));
        store(makeEvent(1001));
        auto b = batch(target(1001));
        EXPECT_EQ(b.id, c.expected);
        EXPECT_EQ(b.events.size(), 1u);
    }
    EXPECT_EQ(*sim::FileSystem::readFile(counter()), (Data{0, 0, 0, 0}));
}

// A stale counter never hands out the ID of a batch on disk, so removing one
// target's delivered batch cannot take another target's unsent one.
TEST_F(ZDTCORFlatFileStorageTest, AStaleCounterNeverRepeatsABatchOnDisk) {
    store(makeEvent(1002));
    const auto crash = batch(target(1002));
    ASSERT_EQ(crash.id, 0);
    ASSERT_TRUE(sim::FileSystem::writeFileAtomically(counter(), Data{0, 0, 0, 0}));
    store(makeEvent(1001));
    const auto diagnostics = batch(target(1001));
    EXPECT_EQ(diagnostics.id, 1);
    storage->removeBatchWithID(*diagnostics.id, true, nullptr);
    drain();
    EXPECT_EQ(namesIn(batches()).size(), 1u);
    std::optional<std::set<std::int64_t>> ids;
    storage->batchIDsForTarget(1002, [&](auto found) { ids = found; });
    drain();
    EXPECT_EQ(ids, std::set<std::int64_t>{0});
}

// A folder where the counter belongs is cleared; batching goes on.
TEST_F(ZDTCORFlatFileStorageTest, AnUnwritableCounterPathRecovers) {
    fs::create_directories(counter() / "inside");
    store(makeEvent(1001));
    EXPECT_EQ(batch(target(1001)).id, 0);
    EXPECT_EQ(*sim::FileSystem::readFile(counter()), (Data{1, 0, 0, 0}));
    store(makeEvent(1001));
    EXPECT_EQ(batch(target(1001)).id, 1);
}

// Only what fails to decode is deleted. What cannot be read stays, and a
// FIFO or a folder with an event's name never holds the queue.
TEST_F(ZDTCORFlatFileStorageTest, UnreadableEntriesStayAndNeverBlock) {
    store(makeEvent(1001));
    const std::string real = *namesIn(events(1001)).begin();
    const std::string fifo = "fifo-3-9999999999-137";
    const std::string folder = "folder-3-9999999999-137";
    const std::string broken = "broken-3-9999999999-137";
    ASSERT_EQ(::mkfifo((events(1001) / fifo).c_str(), 0600), 0) << std::strerror(errno);
    fs::create_directory(events(1001) / folder);
    std::ofstream(events(1001) / broken) << "not an archive";
    const auto b = batch(target(1001));
    ASSERT_TRUE(b.id);
    ASSERT_EQ(b.events.size(), 1u);
    EXPECT_EQ(namesIn(events(1001)), (std::set<std::string>{fifo, folder}));
    EXPECT_TRUE(fs::is_fifo(events(1001) / fifo));
    EXPECT_EQ(namesIn(batches() / *namesIn(batches()).begin()), std::set<std::string>{real});
}

TEST_F(ZDTCORFlatFileStorageTest, BatchesMoveFilesAndComeBack) {
    auto a = makeEvent(1001, 3);
    auto b = makeEvent(1001, 5);
    store(a);
    store(b);
    fs::create_directories(events(1001));
    std::ofstream(events(1001) / ".hidden").close();
    std::ofstream(events(1001) / (a->eventID() + "-3-9999999999-137.tmp.1")).close();
    const auto before = namesIn(events(1001));

    auto wifi = target(1001);
    wifi.selectedQosTiers = {5};
    auto first = batch(wifi);
    ASSERT_EQ(first.events.size(), 1u);
    EXPECT_EQ(first.events[0]->eventID(), b->eventID());
    auto all = batch(target(1001));
    ASSERT_EQ(all.events.size(), 1u);
    EXPECT_EQ(all.events[0]->eventID(), a->eventID());

    std::set<std::int64_t> ids;
    storage->batchIDsForTarget(
        1001, [&](auto found) { ids = found.value_or(std::set<std::int64_t>{99}); });
    drain();
    EXPECT_EQ(ids, (std::set<std::int64_t>{*first.id, *all.id}));

    storage->removeBatchWithID(*first.id, false, nullptr);
    storage->removeBatchWithID(*all.id, true, nullptr);
    drain();
    auto after = namesIn(events(1001));
    EXPECT_EQ(after.size(), 3u);
    EXPECT_TRUE(after.count(".hidden"));
    EXPECT_TRUE(after.count(
        b->eventID() + "-5-" +
        std::to_string(static_cast<long long>(b->expirationDate()->unixSeconds())) + "-137"));
    EXPECT_EQ(before.size(), 4u);
    EXPECT_EQ(namesIn(batches()).size(), 0u);
    auto again = batch(target(1001));
    ASSERT_EQ(again.events.size(), 1u);
    EXPECT_EQ(again.events[0]->eventID(), b->eventID());
}

TEST_F(ZDTCORFlatFileStorageTest, BatchIDListings) {
    std::optional<std::set<std::int64_t>> ids{{1}};
    storage->batchIDsForTarget(1001, [&](auto found) { ids = found; });
    drain();
    EXPECT_FALSE(ids);
    fs::create_directories(batches() / "1002-4-99999999999");
    fs::create_directories(batches() / "1001-5-99999999999-x");
    storage->batchIDsForTarget(1001, [&](auto found) { ids = found; });
    drain();
    ASSERT_TRUE(ids);
    EXPECT_TRUE(ids->empty());
}

TEST_F(ZDTCORFlatFileStorageTest, FailedMovesLoseNothingAndSendNothingTwice) {
    auto a = makeEvent(1001);
    auto b = makeEvent(1001);
    store(a);
    store(b);
    sim::failNextTransportMoves(1, EIO);
    auto first = batch(target(1001));
    ASSERT_EQ(first.events.size(), 1u);
    auto second = batch(target(1001));
    ASSERT_EQ(second.events.size(), 1u);
    EXPECT_NE(first.events[0]->eventID(), second.events[0]->eventID());
    EXPECT_TRUE(namesIn(events(1001)).empty());

    // Moving back fails: the batch stays until a later attempt succeeds.
    sim::failNextTransportMoves(1, EIO);
    storage->removeBatchWithID(*first.id, false, nullptr);
    drain();
    EXPECT_EQ(namesIn(batches()).size(), 2u);
    storage->removeBatchWithID(*first.id, false, nullptr);
    drain();
    EXPECT_EQ(namesIn(batches()).size(), 1u);
    EXPECT_EQ(namesIn(events(1001)).size(), 1u);
}

TEST_F(ZDTCORFlatFileStorageTest, ExpirySweep) {
    auto keep = makeEvent(1001);
    auto old = makeEvent(1001);
    old->setExpirationDate(Date::fromUnix(1000));
    store(keep);
    store(old);
    auto formed = batch(target(1001));
    ASSERT_EQ(formed.events.size(), 2u);
    // Rename the batch so that it expired long ago.
    const auto dir = *namesIn(batches()).begin();
    fs::rename(batches() / dir, batches() / ("1001-" + std::to_string(*formed.id) + "-600"));
    storage->checkForExpirations();
    drain();
    EXPECT_TRUE(namesIn(batches()).empty());
    EXPECT_EQ(namesIn(events(1001)).size(), 1u);
    EXPECT_EQ(namesIn(events(1001)).begin()->substr(0, 32), keep->eventID());
}

TEST_F(ZDTCORFlatFileStorageTest, SharedInstanceSweepsAtStartUp) {
    const std::string state = ZDTCORStateDirectory().path();
    const fs::path dir = fs::path(state) / "ZDTCORFlatFileStorage/zdt_event_data/1001";
    fs::create_directories(dir);
    std::ofstream(dir / "0123456789ABCDEF0123456789ABCDEF-3-1000-137").close();
    std::ofstream(dir / "0123456789ABCDEF0123456789ABCDEE-3-99999999999-137").close();
    std::ofstream(dir / "0123456789ABCDEF0123456789ABCDED-3-99999999999-137.tmp.5").close();
    auto shared = ZDTCORFlatFileStorage::sharedInstance();
    shared->appWillTerminate(*ZDTCORApplication::sharedApplication());
    EXPECT_EQ(namesIn(dir),
              std::set<std::string>{"0123456789ABCDEF0123456789ABCDEE-3-99999999999-137"});
    EXPECT_EQ(ZDTCORStorageForTarget(999), shared);
    EXPECT_EQ(ZDTCORPromiseStorageForTarget(1003), shared);
}

TEST_F(ZDTCORFlatFileStorageTest, LibraryData) {
    std::optional<NSError> refused;
    storage->storeLibraryData(Data{}, "k", [&](std::optional<NSError> e) { refused = e; });
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->domain, "NSInternalInconsistencyException");

    storage->storeLibraryData(Data{1, 2}, "k", nullptr);
    std::optional<Data> fetched;
    storage->libraryDataForKey(
        "k", [&](std::optional<Data> d, std::optional<NSError>) { fetched = d; },
        [] { return std::optional<Data>(Data{3}); });
    std::optional<Data> replaced;
    storage->libraryDataForKey(
        "k", [&](std::optional<Data> d, std::optional<NSError>) { replaced = d; }, nullptr);
    drain();
    EXPECT_EQ(fetched, (Data{1, 2}));
    EXPECT_EQ(replaced, (Data{3}));

    std::optional<NSError> removed{NSError("x", 1)};
    storage->removeLibraryDataForKey("k", [&](std::optional<NSError> e) { removed = e; });
    std::optional<NSError> missing;
    storage->libraryDataForKey(
        "k", [&](std::optional<Data>, std::optional<NSError> e) { missing = e; }, nullptr);
    drain();
    EXPECT_FALSE(removed);
    EXPECT_TRUE(missing);
}

}  // namespace

namespace {

// The platform's quit notice reaches the shared storage through the relay,
// after the events sent before it were written.
TEST(ZDTCORLifecycleTest, TerminateDrainsTheTransport) {
    sim::setLogEcho(false);
    TemporaryHome home;
    ZDTCORLoadTransport();
    auto storage = ZDTCORFlatFileStorage::sharedInstance();
    auto event = ZDTCOREvent::initWithMappingID(std::string("137"), 999);
    event->setDataObject(std::make_shared<Payload>());
    std::atomic<bool> written{false};
    ZDTCORTransformer::sharedInstance()->transformEvent(
        event, {}, [&](bool ok, std::optional<NSError>) { written = ok; });
    NSNotificationCenter::defaultCenter()->postNotificationName(
        "NSApplicationWillTerminateNotification");
    EXPECT_TRUE(written.load());
    EXPECT_FALSE(ZDTCORUploadCoordinator::sharedInstance()->hasTimer());
}

}  // namespace
