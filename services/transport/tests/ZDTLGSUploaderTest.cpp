#include <gtest/gtest.h>

#include <filesystem>

#include "platform/backend/Backend.h"
#include "platform/backend/TransportBackend.h"
#include "platform/dispatch/Clock.h"
#include "platform/log/Log.h"
#include "platform/net/NSURLSession.h"
#include "services/transport/ZDTCORFlatFileStorage.h"
#include "services/transport/ZDTCORRegistrar.h"
#include "services/transport/ZDTLGSUploader.h"
#include "services/transport/tests/TemporaryHome.h"

namespace fs = std::filesystem;

namespace {

struct Text : ZDTCOREventDataObject {
    explicit Text(std::string t) : text(std::move(t)) {}
    Data transportBytes() const override { return Data(text.begin(), text.end()); }
    std::string text;
};

class ZDTLGSUploaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::setLogEcho(false);
        sim::useVirtualClock();
        sim::setServiceHostOverride(backend.url());
        for (ZDTCORTarget t : {1000, 1001, 1002, 1003})
            ZDTCORRegistrar::sharedInstance()->registerStorage(storage, t);
    }
    void TearDown() override {
        EXPECT_EQ(backend.undecodableUploads(), 0u);
        sim::clearServiceHostOverride();
        sim::useRealClock();
    }
    sim::TransportBackend& transport() {
        return *dynamic_cast<sim::TransportBackend*>(backend.service(sim::TransportBackend::kName));
    }
    void store(ZDTCORTarget target, const std::string& text, ZDTCOREventQoS tier = 3) {
        auto event =
            ZDTCOREvent::initWithMappingID(std::string(target == 1002 ? "1206" : "137"), target);
        event->setDataObject(std::make_shared<Text>(text));
        event->setQosTier(tier);
        event->setClockSnapshot(ZDTCORClock::snapshot());
        storage->storeEvent(event, nullptr);
        storage->appWillTerminate(*ZDTCORApplication::sharedApplication());
    }
    void upload(ZDTCORTarget target, ZDTCORUploadConditions conditions) {
        uploader->uploadTarget(target, conditions);
        ASSERT_TRUE(uploader->waitForUploadFinishedWithTimeout(30));
        storage->appWillTerminate(*ZDTCORApplication::sharedApplication());
    }
    std::size_t stored(ZDTCORTarget target) {
        std::size_t n = 0;
        std::error_code ec;
        for (fs::directory_iterator it(home.path() + "/root/ZDTCORFlatFileStorage/zdt_event_data/" +
                                           std::to_string(target),
                                       ec),
             end;
             !ec && it != end; it.increment(ec)) {
            ++n;
        }
        return n;
    }

    TemporaryHome home;
    sim::Backend backend;
    std::shared_ptr<ZDTCORFlatFileStorage> storage =
        std::make_shared<ZDTCORFlatFileStorage>(home.path() + "/root");
    std::shared_ptr<ZDTLGSUploader> uploader = std::make_shared<ZDTLGSUploader>();
};

TEST_F(ZDTLGSUploaderTest, DeliversBatchesWithTheirHeaders) {
    store(1001, "diagnostics");
    store(1000, "legacy");
    upload(1001, ZDTCORUploadConditionWifiData);
    upload(1000, ZDTCORUploadConditionWifiData);
    auto rlg = transport().batches(sim::TransportBackend::kRLG);
    ASSERT_EQ(rlg.size(), 1u);
    EXPECT_TRUE(rlg[0].decoded);
    EXPECT_EQ(rlg[0].sourceIDs, std::vector<std::int32_t>{137});
    ASSERT_EQ(rlg[0].events.size(), 1u);
    EXPECT_EQ(rlg[0].events[0].payload, "diagnostics");
    EXPECT_TRUE(rlg[0].apiKey);
    EXPECT_EQ(rlg[0].userAgent, "datatransport/0.0.1 rlgsupport/0.0.1 apple/");
    auto lgs = transport().batches(sim::TransportBackend::kLGS);
    ASSERT_EQ(lgs.size(), 1u);
    EXPECT_FALSE(lgs[0].apiKey);
    EXPECT_EQ(lgs[0].userAgent, "datatransport/0.0.1 lgssupport/0.0.1 apple/");
    EXPECT_EQ(stored(1001), 0u);
    EXPECT_EQ(uploader->lastUpload()->status, 200);

    // An empty reply holds regular uploads back for 15 minutes; a forced one passes.
    store(1001, "later");
    upload(1001, ZDTCORUploadConditionWifiData);
    EXPECT_EQ(transport().batches(sim::TransportBackend::kRLG).size(), 1u);
    sim::advanceClock(std::chrono::minutes(14));
    upload(1001, ZDTCORUploadConditionWifiData);
    EXPECT_EQ(transport().batches(sim::TransportBackend::kRLG).size(), 1u);
    upload(1001, ZDTCORUploadConditionWifiData | ZDTCORUploadConditionHighPriority);
    EXPECT_EQ(transport().batches(sim::TransportBackend::kRLG).size(), 2u);
}

TEST_F(ZDTLGSUploaderTest, LargeEventsArriveWhole) {
    std::string large(70000, ' ');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>('a' + i * 7919 % 26);
    store(1001, large);
    upload(1001, ZDTCORUploadConditionWifiData);
    auto arrived = transport().batches(sim::TransportBackend::kRLG);
    ASSERT_EQ(arrived.size(), 1u);
    ASSERT_EQ(arrived[0].events.size(), 1u);
    EXPECT_EQ(arrived[0].events[0].payload.size(), large.size());
    EXPECT_TRUE(arrived[0].events[0].payload == large);
    EXPECT_EQ(stored(1001), 0u);
}

TEST_F(ZDTLGSUploaderTest, AnswersDecideWhatHappensToTheBatch) {
    struct Case {
        int status;
        const char* retryAfter;
        bool kept;
        std::int64_t waitSeconds;
    };
    const Case cases[] = {
        {200, nullptr, false, 900}, {503, "120", true, 120},   {429, nullptr, true, 900},
        {400, nullptr, false, 900}, {300, nullptr, true, 900},
    };
    for (const auto& c : cases) {
        store(1002, "report");
        sim::BackendScript script = sim::BackendScript::withStatus(c.status);
        script.body = "";
        if (c.retryAfter) script.headers.emplace("Retry-After", c.retryAfter);
        backend.enqueue(sim::TransportBackend::kName, sim::TransportBackend::kCRS, script);
        upload(1002, ZDTCORUploadConditionWifiData | ZDTCORUploadConditionHighPriority);
        EXPECT_EQ(stored(1002), c.kept ? 1u : 0u) << c.status;
        auto next = uploader->nextUploadTimeForTarget(1002);
        ASSERT_TRUE(next);
        EXPECT_EQ(next->timeMillis() - ZDTCORClock::snapshot()->timeMillis(), c.waitSeconds * 1000)
            << c.status;
        // Clean slate for the next case.
        storage->removeAllBatchesForTarget(1002, true);
        for (const auto& entry : fs::directory_iterator(
                 home.path() + "/root/ZDTCORFlatFileStorage/zdt_event_data/1002")) {
            fs::remove(entry.path());
        }
    }
}

TEST_F(ZDTLGSUploaderTest, RedirectsKeepTheTargetsKey) {
    store(1001, "moved");
    backend.enqueue(sim::TransportBackend::kName, sim::TransportBackend::kRLG, [&] {
        sim::BackendScript s = sim::BackendScript::withStatus(301);
        s.body = "";
        s.headers.emplace("Location", "/v0/log/batch");
        return s;
    }());
    upload(1001, ZDTCORUploadConditionWifiData);
    auto arrived = transport().batches(sim::TransportBackend::kLGS);
    ASSERT_EQ(arrived.size(), 1u);
    EXPECT_TRUE(arrived[0].apiKey);
    EXPECT_EQ(arrived[0].userAgent, "datatransport/0.0.1 rlgsupport/0.0.1 apple/");
    EXPECT_EQ(arrived[0].events.size(), 1u);
    EXPECT_EQ(stored(1001), 0u);
}

// The key never goes to another origin: such a redirect is not followed and
// the events wait in storage.
TEST_F(ZDTLGSUploaderTest, RedirectsToAnotherHostAreNotFollowed) {
    sim::Backend elsewhere;
    store(1001, "moved");
    for (int status : {301, 302, 307, 308}) {
        SCOPED_TRACE(status);
        backend.enqueue(sim::TransportBackend::kName, sim::TransportBackend::kRLG, [&] {
            sim::BackendScript s = sim::BackendScript::withStatus(status);
            s.body = "";
            s.headers.emplace("Location", elsewhere.url() + "/v1/rzrlog/legacy/batchlog");
            return s;
        }());
        upload(1001, ZDTCORUploadConditionWifiData | ZDTCORUploadConditionHighPriority);
        EXPECT_EQ(elsewhere.requestCount(), 0u);
        EXPECT_EQ(uploader->lastUpload()->status, status);
        EXPECT_EQ(stored(1001), 1u);
    }
}

TEST_F(ZDTLGSUploaderTest, WaitsAreClamped) {
    const std::int64_t now = ZDTCORClock::snapshot()->timeMillis();
    struct Case {
        std::optional<std::int64_t> replyWait;
        const char* retryAfter;
        std::int64_t expected;
    };
    const auto encode = [](std::int64_t v) {
        Data out{0x08};
        auto u = static_cast<std::uint64_t>(v);
        while (u >= 0x80) {
            out.push_back(static_cast<std::uint8_t>((u & 0x7F) | 0x80));
            u >>= 7;
        }
        out.push_back(static_cast<std::uint8_t>(u));
        return out;
    };
    const Case cases[] = {
        {5000, nullptr, 5000},
        {-5000, nullptr, 0},
        {std::int64_t{1} << 60, nullptr, ZDTLGSUploader::kMaxWaitMillis},
        {std::nullopt, "-30", 0},
        {std::nullopt, "99999999999999", ZDTLGSUploader::kMaxWaitMillis},
        {std::nullopt, "abc", 900000},
        {std::nullopt, "nan", 900000},
        {std::nullopt, "-nan", 900000},
        {std::nullopt, "inf", ZDTLGSUploader::kMaxWaitMillis},
        {std::nullopt, "-inf", 0},
    };
    for (const auto& c : cases) {
        std::optional<Data> body;
        if (c.replyWait) body = encode(*c.replyWait);
        auto next = ZDTLGSUploadOperation::nextUploadTimeForResponse(
            200, body, c.retryAfter ? std::optional<std::string>(c.retryAfter) : std::nullopt);
        EXPECT_EQ(next->timeMillis() - now, c.expected);
    }
}

TEST_F(ZDTLGSUploaderTest, SelectorsFollowTheConditions) {
    EXPECT_TRUE(ZDTLGSUploadOperation::eventSelectorTarget(1001, 20).selectedQosTiers.empty());
    EXPECT_EQ(ZDTLGSUploadOperation::eventSelectorTarget(1001, 4).selectedQosTiers,
              (std::set<ZDTCOREventQoS>{0, 1, 3, 4, 5}));
    EXPECT_EQ(ZDTLGSUploadOperation::eventSelectorTarget(1001, 2).selectedQosTiers,
              (std::set<ZDTCOREventQoS>{3, 4}));
    EXPECT_TRUE(uploader->waitForUploadFinishedWithTimeout(0));
    EXPECT_TRUE(
        ZDTLGSCompressionHelper::isGzipped(*ZDTLGSCompressionHelper::gzippedData(Data(100, 1))));
    EXPECT_FALSE(ZDTLGSCompressionHelper::gzippedData(Data{}));
}

}  // namespace
