#include <gtest/gtest.h>

#include <regex>

#include "platform/dispatch/Clock.h"
#include "platform/log/Log.h"
#include "services/transport/ZDTCOREvent.h"

namespace {

struct BytesObject : ZDTCOREventDataObject {
    explicit BytesObject(std::string text) : text(std::move(text)) {}
    Data transportBytes() const override { return Data(text.begin(), text.end()); }
    std::string text;
};

Data bytes(const std::string& text) {
    return Data(text.begin(), text.end());
}
std::string text(const std::optional<Data>& data) {
    return data ? std::string(data->begin(), data->end()) : std::string("<none>");
}

// Writes an archive of class ZDTCOREvent with only some of its keys.
struct PartialEvent : NSObject, NSCoding {
    static constexpr const char* kClassName = "ZDTCOREvent";
    std::string className() const override { return kClassName; }
    bool supportsSecureCoding() const override { return true; }
    void encodeWithCoder(NSCoder& coder) const override {
        if (withID) coder.encodeObject(std::string("ABCDEF"), "ZDTCOREventEventIDKey");
        coder.encodeObject(std::string("137"), "ZDTCOREventMappingIDKey");
        coder.encodeInteger(1001, "ZDTCOREventTargetKey");
        if (withTier) coder.encodeInteger(4, "ZDTCOREventQoSTierKey");
        if (withBytes)
            coder.encodeObject(Id(Value(bytes("payload"))),
                               "ZDTCOREventSerializedDataObjectBytesKey");
    }
    bool withID = true, withTier = true, withBytes = true;
};

class ZDTCOREventTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        sim::setLogEcho(false);
        ZDTCOREvent::registerCoding();
    }
    void TearDown() override { sim::useRealClock(); }
};

TEST_F(ZDTCOREventTest, CreationValidatesItsArguments) {
    sim::LogCapture capture;
    EXPECT_EQ(ZDTCOREvent::initWithMappingID(std::string(), 0), nullptr);
    EXPECT_EQ(ZDTCOREvent::initWithMappingID(std::nullopt, 1001), nullptr);
    EXPECT_EQ(ZDTCOREvent::initWithMappingID(std::string("137"), -1), nullptr);
    EXPECT_EQ(capture.lines().size(), 4u);
    EXPECT_TRUE(capture.containsSubstring(": Please give a valid mapping ID"));
    EXPECT_TRUE(capture.containsSubstring(": A target cannot be negative or 0"));

    auto event = ZDTCOREvent::initWithMappingID(std::string("1206"), ZDTCORTargetCRS);
    ASSERT_TRUE(event);
    EXPECT_TRUE(std::regex_match(event->eventID(), std::regex("[0-9A-F]{32}"))) << event->eventID();
    EXPECT_NE(event->eventID(), ZDTCOREvent::nextEventID());
    EXPECT_EQ(event->qosTier(), ZDTCOREventQoSDefault);
    EXPECT_EQ(event->expirationDate()->unixSeconds(), sim::kVirtualWallEpochUnixSeconds + 604800);
    EXPECT_FALSE(event->clockSnapshot());
    EXPECT_FALSE(event->serializedDataObjectBytes());
    EXPECT_FALSE(event->customBytes());
}

TEST_F(ZDTCOREventTest, CopyKeepsEveryField) {
    auto event = ZDTCOREvent::initWithMappingID(std::string("137"), ZDTCORTargetRLG);
    event->setDataObject(std::make_shared<BytesObject>("abc"));
    event->setQosTier(ZDTCOREventQoSImmediate);
    event->setClockSnapshot(std::make_shared<ZDTCORClock>(1, 2, 3, 4));
    event->setEventCode(7);
    event->setExpirationDate(Date::fromUnix(sim::kVirtualWallEpochUnixSeconds + 60));
    sim::advanceClock(std::chrono::hours(1));

    auto copy = event->copy();
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->isEqual(*event));
    EXPECT_EQ(copy->eventID(), event->eventID());
    EXPECT_EQ(text(copy->serializedDataObjectBytes()), "abc");
    EXPECT_EQ(copy->eventCode(), 7);
    EXPECT_EQ(copy->expirationDate(), event->expirationDate());

    // A decoded event has no data object; its copy keeps the payload.
    auto data = NSKeyedArchiver::archivedDataWithRootObject(event, true);
    auto decoded =
        NSKeyedUnarchiver::unarchivedObjectOfClass("ZDTCOREvent", *data).as<ZDTCOREvent>();
    ASSERT_TRUE(decoded);
    auto decodedCopy = decoded->copy();
    EXPECT_EQ(decodedCopy->eventID(), event->eventID());
    EXPECT_EQ(text(decodedCopy->serializedDataObjectBytes()), "abc");
}

TEST_F(ZDTCOREventTest, EqualityIsByIdentity) {
    auto a = ZDTCOREvent::initWithMappingID(std::string("137"), 1001);
    a->setDataObject(std::make_shared<BytesObject>("x"));
    auto b = a->copy();
    b->setCustomBytes(bytes("{}"));
    b->setExpirationDate(Date::fromUnix(1));
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_EQ(a->hash(), b->hash());

    // Target and tier swapped: the exclusive-or hash collides, the events differ.
    auto c = ZDTCOREvent::initWithMappingID(std::string("137"), 3);
    c->setEventID(a->eventID());
    c->setDataObject(std::make_shared<BytesObject>("x"));
    c->setQosTier(1001);
    EXPECT_EQ(a->hash(), c->hash());
    EXPECT_FALSE(a->isEqual(*c));
    b->setEventID(ZDTCOREvent::nextEventID());
    EXPECT_FALSE(a->isEqual(*b));
}

TEST_F(ZDTCOREventTest, ArchiveRoundTripAndPartialArchives) {
    auto event = ZDTCOREvent::initWithMappingID(std::string("1206"), ZDTCORTargetCRS);
    event->setDataObject(std::make_shared<BytesObject>("report"));
    event->setClockSnapshot(std::make_shared<ZDTCORClock>(10, 20, 30, 40));
    event->setNeedsNetworkConnectionInfoPopulated(true);
    auto data = NSKeyedArchiver::archivedDataWithRootObject(event, true);
    ASSERT_TRUE(data);
    auto decoded =
        NSKeyedUnarchiver::unarchivedObjectOfClass("ZDTCOREvent", *data).as<ZDTCOREvent>();
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*event));
    EXPECT_FALSE(decoded->dataObject());
    EXPECT_EQ(decoded->expirationDate(), event->expirationDate());
    EXPECT_EQ(decoded->customBytes(), event->customBytes());
    EXPECT_EQ(decoded->mappingID(), "1206");

    struct Case {
        bool withID, withTier, withBytes;
        bool decodes;
    };
    for (const Case c : {Case{true, true, true, true}, Case{true, true, false, false},
                         Case{false, true, true, true}, Case{true, false, true, true}}) {
        auto partial = std::make_shared<PartialEvent>();
        partial->withID = c.withID;
        partial->withTier = c.withTier;
        partial->withBytes = c.withBytes;
        auto archive = NSKeyedArchiver::archivedDataWithRootObject(partial, true);
        ASSERT_TRUE(archive);
        auto e =
            NSKeyedUnarchiver::unarchivedObjectOfClass("ZDTCOREvent", *archive).as<ZDTCOREvent>();
        ASSERT_EQ(static_cast<bool>(e), c.decodes);
        if (!e) continue;
        if (c.withID) {
            EXPECT_EQ(e->eventID(), "ABCDEF");
        } else {
            EXPECT_EQ(e->eventID().size(), 32u);
        }
        EXPECT_EQ(e->qosTier(), c.withTier ? 4 : 0);
        EXPECT_FALSE(e->expirationDate());
    }
}

TEST_F(ZDTCOREventTest, ExtensionValuesLiveInTheCustomBytes) {
    auto event = ZDTCOREvent::initWithMappingID(std::string("137"), 1001);
    event->setEventCode(42);
    EXPECT_EQ(text(event->customBytes()), R"({"event_code_info":"42"})");
    EXPECT_EQ(event->eventCode(), 42);
    event->setEventCode(std::nullopt);
    EXPECT_EQ(text(event->customBytes()), "{}");
    EXPECT_FALSE(event->eventCode());

    event->setCustomBytes(std::nullopt);
    event->setNeedsNetworkConnectionInfoPopulated(true);
    EXPECT_TRUE(event->needsNetworkConnectionInfoPopulated());
    const auto onlyNeeds = event->customBytes();
    event->setNeedsNetworkConnectionInfoPopulated(false);
    EXPECT_EQ(event->customBytes(), onlyNeeds);

    const Data info{0x08, 0x01, 0xFF, 0x00};
    event->setNetworkConnectionInfoData(info);
    event->setEventCode(5);
    EXPECT_EQ(event->networkConnectionInfoData(), info);
    event->setNeedsNetworkConnectionInfoPopulated(false);
    EXPECT_EQ(text(event->customBytes()), R"({"event_code_info":"5"})");

    // Custom bytes that are not JSON: setters leave them, getters answer nothing.
    event->setCustomBytes(bytes("not json"));
    event->setEventCode(1);
    event->setNeedsNetworkConnectionInfoPopulated(true);
    event->setNetworkConnectionInfoData(info);
    event->setEventCode(std::nullopt);
    EXPECT_EQ(text(event->customBytes()), "not json");
    EXPECT_FALSE(event->eventCode());
    EXPECT_FALSE(event->needsNetworkConnectionInfoPopulated());
    EXPECT_FALSE(event->networkConnectionInfoData());

    event->setCustomBytes(bytes(R"({"network_connection_info":"%%%","event_code_info":"x1"})"));
    EXPECT_FALSE(event->networkConnectionInfoData());
    EXPECT_FALSE(event->eventCode());
}

}  // namespace
