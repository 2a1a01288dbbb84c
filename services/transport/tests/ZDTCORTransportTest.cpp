#include <gtest/gtest.h>

#include <mutex>

#include "platform/dispatch/Clock.h"
#include "platform/log/Log.h"
#include "services/transport/ZDTCORRegistrar.h"
#include "services/transport/ZDTCORTransformer.h"
#include "services/transport/ZDTCORTransport.h"
#include "services/transport/tests/RecordingStorage.h"

namespace {

struct Payload : ZDTCOREventDataObject {
    Data transportBytes() const override { return Data{1, 2, 3}; }
};

struct Discard : NSObject, ZDTCOREventTransformer {
    std::shared_ptr<ZDTCOREvent> transformZDTEvent(std::shared_ptr<ZDTCOREvent>) override {
        ++calls;
        return nullptr;
    }
    int calls = 0;
};

struct Retier : NSObject, ZDTCOREventTransformer {
    std::shared_ptr<ZDTCOREvent> transformZDTEvent(std::shared_ptr<ZDTCOREvent> event) override {
        ++calls;
        event->setQosTier(ZDTCOREventQoSWifiOnly);
        return event;
    }
    int calls = 0;
};

struct Results {
    std::mutex mutex;
    std::vector<bool> written;
    ZDTCORStoreCompletion completion() {
        return [this](bool ok, std::optional<NSError>) {
            std::lock_guard lock(mutex);
            written.push_back(ok);
        };
    }
};

// Each test has targets of its own in the shared registrar.
class ZDTCORTransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::setLogEcho(false);
        sim::useVirtualClock();
        target = nextTarget += 10;
        ZDTCORRegistrar::sharedInstance()->registerStorage(storage, target);
    }
    void TearDown() override { sim::useRealClock(); }
    void drain() {
        ZDTCORTransformer::sharedInstance()->appWillTerminate(
            *ZDTCORApplication::sharedApplication());
    }

    static inline ZDTCORTarget nextTarget = 5000;
    ZDTCORTarget target = 0;
    std::shared_ptr<RecordingStorage> storage = std::make_shared<RecordingStorage>();
};

TEST_F(ZDTCORTransportTest, CreationValidatesItsArguments) {
    sim::LogCapture capture;
    EXPECT_FALSE(ZDTCORTransport::initWithMappingID(std::string(), {}, 1001));
    EXPECT_FALSE(ZDTCORTransport::initWithMappingID(std::nullopt, {}, 1001));
    EXPECT_FALSE(ZDTCORTransport::initWithMappingID(std::string("137"), {}, 0));
    EXPECT_EQ(capture.lines().size(), 3u);
    auto transport = ZDTCORTransport::initWithMappingID(std::string("137"), {}, 1);
    ASSERT_TRUE(transport);
    auto event = transport->eventForTransport();
    EXPECT_EQ(event->mappingID(), "137");
    EXPECT_EQ(event->target(), 1);
}

TEST_F(ZDTCORTransportTest, SendingStampsACopyAndKeepsOrder) {
    sim::LogCapture capture;
    auto transport = ZDTCORTransport::initWithMappingID(std::string("137"), {}, target);
    Results results;
    auto first = transport->eventForTransport();
    first->setDataObject(std::make_shared<Payload>());
    first->setClockSnapshot(std::make_shared<ZDTCORClock>(1, 2, 3, 4));
    transport->sendTelemetryEvent(first, results.completion());
    EXPECT_EQ(first->qosTier(), ZDTCOREventQoSTelemetry);

    auto second = transport->eventForTransport();
    second->setDataObject(std::make_shared<Payload>());
    second->setQosTier(ZDTCOREventQoSTelemetry);
    sim::advanceClock(std::chrono::seconds(5));
    transport->sendDataEvent(second, results.completion());
    transport->sendDataEvent(nullptr, results.completion());
    drain();

    auto stored = storage->stored();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0]->eventID(), first->eventID());
    EXPECT_EQ(stored[1]->eventID(), second->eventID());
    EXPECT_NE(stored[0].get(), first.get());
    EXPECT_EQ(stored[0]->qosTier(), ZDTCOREventQoSTelemetry);
    EXPECT_EQ(stored[0]->clockSnapshot()->timeMillis(),
              static_cast<std::int64_t>(sim::kVirtualWallEpochUnixSeconds) * 1000);
    EXPECT_EQ(stored[1]->clockSnapshot()->timeMillis(),
              stored[0]->clockSnapshot()->timeMillis() + 5000);
    EXPECT_EQ(first->clockSnapshot()->timeMillis(), 1);
    EXPECT_EQ(results.written, (std::vector<bool>{true, true}));
    EXPECT_TRUE(capture.containsSubstring(": Use -sendTelemetryEvent, please."));
    EXPECT_TRUE(capture.containsSubstring(": You can't send a nil event"));
}

TEST_F(ZDTCORTransportTest, TransformersRunInOrderAndMayDiscard) {
    sim::LogCapture capture;
    auto retier = std::make_shared<Retier>();
    auto discard = std::make_shared<Discard>();
    auto after = std::make_shared<Retier>();
    Results results;

    auto keeps = ZDTCORTransport::initWithMappingID(std::string("137"), {retier}, target);
    auto event = keeps->eventForTransport();
    event->setDataObject(std::make_shared<Payload>());
    keeps->sendDataEvent(event, results.completion());

    auto drops = ZDTCORTransport::initWithMappingID(std::string("137"), {discard, after}, target);
    drops->sendDataEvent(event, results.completion());

    auto broken = ZDTCORTransport::initWithMappingID(std::string("137"),
                                                     {std::make_shared<NSObject>()}, target);
    broken->sendDataEvent(event, results.completion());

    // No storage for the target: refused at once, so no caller waits.
    auto nowhere = ZDTCORTransport::initWithMappingID(std::string("137"), {}, target + 1);
    auto lost = nowhere->eventForTransport();
    lost->setDataObject(std::make_shared<Payload>());
    nowhere->sendDataEvent(lost, results.completion());
    drain();

    ASSERT_EQ(storage->stored().size(), 1u);
    EXPECT_EQ(storage->stored()[0]->qosTier(), ZDTCOREventQoSWifiOnly);
    EXPECT_EQ(discard->calls, 1);
    EXPECT_EQ(after->calls, 0);
    EXPECT_EQ(results.written, (std::vector<bool>{true, false, false, false}));
    EXPECT_TRUE(capture.containsSubstring(
        "[ZeveraDataTransport][I-ZDTCOR001000] Transformer doesn't implement transformZDTEvent: "));
}

struct RecordingUploader : ZDTCORUploader {
    void uploadTarget(ZDTCORTarget, ZDTCORUploadConditions) override {}
    void appWillTerminate(ZDTCORApplicationProtocol&) override { notices.push_back("terminate"); }
    std::vector<std::string> notices;
};

TEST_F(ZDTCORTransportTest, RegistrarTablesAreSnapshots) {
    auto owner = std::make_shared<ZDTCORRegistrar>();
    ZDTCORRegistrar& registrar = *owner;
    auto firstStorage = std::make_shared<RecordingStorage>();
    auto secondStorage = std::make_shared<RecordingStorage>();
    auto uploader = std::make_shared<RecordingUploader>();
    registrar.registerStorage(firstStorage, 1001);
    registrar.registerUploader(uploader, 1001);
    const auto& before = registrar.targetToStorage();
    ASSERT_EQ(before.size(), 1u);
    registrar.registerStorage(secondStorage, 1001);
    registrar.registerStorage(secondStorage, 1002);
    registrar.targetToUploader();  // the queued registrations have run
    // What a caller holds does not change under it.
    EXPECT_EQ(before.size(), 1u);
    EXPECT_EQ(before.at(1001), firstStorage);
    const auto after = registrar.targetToStorage();
    EXPECT_EQ(after.size(), 2u);
    EXPECT_EQ(after.at(1001), secondStorage);
    EXPECT_EQ(registrar.targetToUploader().at(1001), uploader);

    registrar.appWillTerminate(*ZDTCORApplication::sharedApplication());
    registrar.appWillBackground(*ZDTCORApplication::sharedApplication());
    EXPECT_EQ(uploader->notices, std::vector<std::string>{"terminate"});
    EXPECT_EQ(secondStorage->notices,
              (std::vector<std::string>{"terminate", "terminate", "background", "background"}));
    EXPECT_TRUE(firstStorage->notices.empty());

    EXPECT_EQ(ZDTCORStorageForTarget(target), storage);
    EXPECT_FALSE(ZDTCORPromiseStorageForTarget(target));
}

}  // namespace
