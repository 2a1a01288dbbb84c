#include <gtest/gtest.h>

#include <pb_decode.h>

#include <algorithm>
#include <deque>

#include "LogUpload.pb.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/log/Log.h"
#include "platform/reachability/SCNetworkReachability.h"
#include "services/transport/ZDTLGSMessages.h"

namespace {

struct Bytes : ZDTCOREventDataObject {
    explicit Bytes(Data d) : data(std::move(d)) {}
    Data transportBytes() const override { return data; }
    Data data;
};

std::shared_ptr<ZDTCOREvent> event(const std::string& mapping, Data payload = Data{1, 2}) {
    auto e = ZDTCOREvent::initWithMappingID(mapping, 1001);
    e->setDataObject(std::make_shared<Bytes>(std::move(payload)));
    e->setClockSnapshot(std::make_shared<ZDTCORClock>(1704067200000, -3600, 5, 2500000));
    return e;
}

// Decodes a request with the generated decoder, the callback fields into
// the lists below; released on destruction.
struct DecodedEvent {
    zdtlgs_EventRecord record = zdtlgs_EventRecord_init_zero;
    Data payload;
};
struct DecodedBatch {
    zdtlgs_SourceBatch batch = zdtlgs_SourceBatch_init_zero;
    std::deque<DecodedEvent> events;
};

bool decodePayload(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* payload = static_cast<Data*>(*arg);
    payload->resize(stream->bytes_left);
    return pb_read(stream, payload->data(), payload->size());
}

bool decodeEvent(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto& event = static_cast<std::deque<DecodedEvent>*>(*arg)->emplace_back();
    event.record.payload = {{.decode = decodePayload}, &event.payload};
    return pb_decode(stream, zdtlgs_EventRecord_fields, &event.record);
}

bool decodeBatch(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto& batch = static_cast<std::deque<DecodedBatch>*>(*arg)->emplace_back();
    batch.batch.events = {{.decode = decodeEvent}, &batch.events};
    return pb_decode(stream, zdtlgs_SourceBatch_fields, &batch.batch);
}

struct Decoded {
    explicit Decoded(const Data& bytes) {
        zdtlgs_UploadBody body = zdtlgs_UploadBody_init_zero;
        body.source_batches = {{.decode = decodeBatch}, &batches};
        pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
        ok = pb_decode(&stream, zdtlgs_UploadBody_fields, &body);
    }
    ~Decoded() {
        for (auto& batch : batches) pb_release(zdtlgs_SourceBatch_fields, &batch.batch);
    }
    std::deque<DecodedBatch> batches;
    bool ok = false;
};

bool contains(const Data& haystack, const Data& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

class ZDTLGSMessagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::setLogEcho(false);
        sim::useVirtualClock();
    }
    void TearDown() override { sim::useRealClock(); }
};

TEST_F(ZDTLGSMessagesTest, OneSourceBatchPerMappingID) {
    auto bytes = ZDTLGSConstructRequest({event("137"), event("1206"), event("137")});
    ASSERT_TRUE(bytes);
    Decoded decoded(*bytes);
    ASSERT_TRUE(decoded.ok);
    ASSERT_EQ(decoded.batches.size(), 2u);
    std::map<int, int> counts;
    for (const auto& [batch, events] : decoded.batches) {
        counts[batch.source_id] = static_cast<int>(events.size());
        EXPECT_EQ(batch.client.client_kind, 15u);
        EXPECT_FALSE(batch.client.has_platform_block);
        EXPECT_FALSE(batch.has_batch_qos);
        EXPECT_EQ(batch.sent_at_ms,
                  static_cast<std::int64_t>(sim::kVirtualWallEpochUnixSeconds) * 1000);
    }
    EXPECT_EQ(counts, (std::map<int, int>{{137, 2}, {1206, 1}}));
    const auto& record = decoded.batches[0].events[0].record;
    EXPECT_EQ(record.wall_time_ms, 1704067200000);
    EXPECT_EQ(record.utc_offset_s, -3600);
    EXPECT_EQ(record.uptime_ms, 2);
    EXPECT_FALSE(record.has_event_code);
    EXPECT_FALSE(record.has_network_connection_info);
    EXPECT_EQ(ZDTLGSSourceID("12ab"), 12);
    EXPECT_EQ(ZDTLGSSourceID("x"), 0);
}

TEST_F(ZDTLGSMessagesTest, ExtensionFieldsAndWireForms) {
    auto coded = event("137", Data{});
    coded->setEventCode(-1);
    ZDTLGSNetworkRecord network;
    network.hasConnectionKind = true;
    network.connectionKind = 1;
    coded->setNetworkConnectionInfoData(ZDTLGSSerializeNetworkRecord(network));
    auto bytes = ZDTLGSConstructRequest({coded});
    ASSERT_TRUE(bytes);
    // Field 11 as a ten-byte varint, field 15 zigzag (-3600 is 7199), field 6 empty.
    EXPECT_TRUE(
        contains(*bytes, Data{0x58, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
    EXPECT_TRUE(contains(*bytes, Data{0x78, 0x9F, 0x38}));
    EXPECT_TRUE(contains(*bytes, Data{0x32, 0x00}));
    Decoded decoded(*bytes);
    ASSERT_TRUE(decoded.ok);
    const auto& record = decoded.batches[0].events[0].record;
    EXPECT_EQ(record.event_code, -1);
    ASSERT_TRUE(record.has_network_connection_info);
    EXPECT_EQ(record.network_connection_info.connection_kind, 1);
    EXPECT_TRUE(decoded.batches[0].events[0].payload.empty());

    // A stored record of the wrong length is refused, not read past its end.
    auto shortRecord = event("137");
    shortRecord->setNetworkConnectionInfoData(Data{1, 0, 0, 0, 1});
    auto refused = ZDTLGSConstructRequest({shortRecord});
    ASSERT_TRUE(refused);
    Decoded decodedRefused(*refused);
    ASSERT_TRUE(decodedRefused.ok);
    EXPECT_FALSE(decodedRefused.batches[0].events[0].record.has_network_connection_info);
}

// Sizes past 16 bits (nanopb's own array sizes and counts in the system's
// runtime) are written whole.
TEST_F(ZDTLGSMessagesTest, LargePayloadsAndEventCountsRoundTrip) {
    Data large(70000);
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7);
    std::vector<std::shared_ptr<ZDTCOREvent>> events{event("1206", large)};
    for (int i = 0; i < 65537; ++i) events.push_back(event("137", Data{}));
    auto bytes = ZDTLGSConstructRequest(events);
    ASSERT_TRUE(bytes);
    Decoded decoded(*bytes);
    ASSERT_TRUE(decoded.ok);
    ASSERT_EQ(decoded.batches.size(), 2u);
    ASSERT_EQ(decoded.batches[0].events.size(), 1u);
    EXPECT_EQ(decoded.batches[0].events[0].payload, large);
    EXPECT_EQ(decoded.batches[1].events.size(), 65537u);
}

TEST_F(ZDTLGSMessagesTest, ReplyDecoding) {
    NSError error;
    auto reply = ZDTLGSDecodeReply(Data{0x08, 0x88, 0x27, 0x1A, 0x00}, &error);
    EXPECT_EQ(reply.waitBeforeNextMs, 5000);
    EXPECT_TRUE(reply.hasQosRules);

    auto broken = ZDTLGSDecodeReply(Data{0x08}, &error);
    EXPECT_FALSE(broken.waitBeforeNextMs);
    EXPECT_FALSE(broken.hasQosRules);
    EXPECT_EQ(error.domain, "NSURLErrorDomain");
    EXPECT_EQ(error.code, -1);
    EXPECT_FALSE(error.userInfo["nanopb error:"].isNull());
}

TEST_F(ZDTLGSMessagesTest, NetworkRecords) {
    sim::setReachabilityFlags(kSCNetworkReachabilityFlagsReachable);
    sim::MainLoop::runUntilIdle();
    auto current = ZDTLGSParseNetworkRecord(ZDTLGSCurrentNetworkConnectionRecord());
    ASSERT_TRUE(current);
    EXPECT_TRUE(current->hasConnectionKind);
    EXPECT_EQ(current->connectionKind, 1);
    EXPECT_FALSE(current->hasCellularKind);
    sim::setReachabilityFlags(std::nullopt);
    sim::MainLoop::runUntilIdle();

    EXPECT_FALSE(ZDTLGSParseNetworkRecord(Data(15)));
    EXPECT_FALSE(ZDTLGSParseNetworkRecord(Data(17)));
    const std::pair<int, int> mapping[] = {{0, 0},  {1, 1},   {3, 0}, {4, 8},
                                           {9, 12}, {11, 13}, {12, 0}};
    for (auto [code, value] : mapping)
        EXPECT_EQ(ZDTLGSMobileSubtypeMessageValue(code), value) << code;
}

}  // namespace
