#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "services/measurement/APMPBCells.h"
#include "services/measurement/APMPBMessage.h"
#include "services/measurement/tests/TestRecords.h"

using namespace measurement_test;

namespace {

// Written at build time by protoc --encode from tests/golden/<type>.txtpb.
Data golden(const std::string& type) {
    std::ifstream in(std::string(MEASUREMENT_GOLDEN_DIR) + "/" + type + ".bin", std::ios::binary);
    return Data(std::istreambuf_iterator<char>(in), {});
}

std::shared_ptr<APMPBEventParam> param(const char* name, Value value) {
    auto p = APMPBEventParam::make();
    APMPBSetString(p.get(), 0, name);
    if (value.isString()) APMPBSetString(p.get(), 1, value);
    if (value.isInteger()) APMPBSetInt64(p.get(), 2, *value.asInt());
    return p;
}

std::shared_ptr<APMPBRuntimeEntity> entity(std::uint32_t type) {
    auto e = APMPBRuntimeEntity::make();
    APMPBSetInt32(e.get(), 0, static_cast<std::int32_t>(type));
    return e;
}

// Every field of a record set, repeated fields with two elements, nested
// messages down to `depth` levels.
void fill(const APMPBMessageType& type, APMPBMessageInfo* info, int depth, std::uint64_t& seed) {
    for (std::uint32_t id = 0; id < type.fieldCount; ++id) {
        const std::uint32_t t = type.types[id];
        const bool repeated = t & APMPB_FIELD_REPEATED;
        const int count = repeated ? 2 : 1;
        if ((t & APMPB_TYPE_MESSAGE) && depth == 0) continue;
        void** slots = &info->fields[id];
        if (repeated) {
            auto* c = static_cast<APMPBArray*>(info->fields[id]);
            c->data = std::calloc(count, sizeof(void*));
            c->count = c->filled = count;
            slots = static_cast<void**>(c->data);
        }
        for (int i = 0; i < count; ++i) {
            ++seed;
            if (t & APMPB_TYPE_MESSAGE) {
                auto* nested =
                    static_cast<APMPBMessageInfo*>(std::calloc(1, sizeof(APMPBMessageInfo)));
                APMPBInitMessageInfo(*type.fields[id].element, nested);
                fill(*type.fields[id].element, nested, depth - 1, seed);
                slots[i] = nested;
            } else if (t & (APMPB_TYPE_STRING | APMPB_TYPE_BYTES)) {
                const std::string s = "v" + std::to_string(seed);
                APMPBSetBytesCell(&slots[i], s.data(), seed % 5 == 0 ? 0 : s.size());
            } else if (t & APMPB_TYPE_BOOL) {
                APMPBSetBoolCell(&slots[i], seed % 2);
            } else if (t & (APMPB_TYPE_INT32 | APMPB_TYPE_UINT32 | APMPB_TYPE_ENUM)) {
                APMPBSetUInt32Cell(&slots[i], static_cast<std::uint32_t>(seed * 2654435761u));
            } else if (t & APMPB_TYPE_FLOAT) {
                APMPBSetFloatCell(&slots[i], static_cast<float>(seed) / 4);
            } else if (t & APMPB_TYPE_DOUBLE) {
                APMPBSetDoubleCell(&slots[i], -static_cast<double>(seed) / 8);
            } else {
                APMPBSetUInt64Cell(&slots[i], seed * 0x9E3779B97F4A7C15ull);
            }
        }
    }
}

}  // namespace

TEST(MeasurementWireFormat, BundleMatchesTheReferenceEncoder) {
    auto event = APMPBEvent::make();
    APMPBSetArray(event.get(), 0, {param("p", Value("v")), param("n", Value(-3))});
    APMPBSetString(event.get(), 1, "ev");
    APMPBSetInt64(event.get(), 2, 1700000000000);

    auto bundle = APMPBMeasurementBundle::make();
    APMPBSetInt32(bundle.get(), 0, 1);
    APMPBSetArray(bundle.get(), 1, {event});
    APMPBSetInt64(bundle.get(), 3, 1700000000123);
    APMPBSetString(bundle.get(), 8, "macos");
    APMPBSetInt32(bundle.get(), 12, -60);
    APMPBSetString(bundle.get(), 13, "");
    APMPBSetBool(bundle.get(), 21, true);
    APMPBSetInt64(bundle.get(), 6, 26);      // wire number 26
    APMPBSetString(bundle.get(), 20, "vd");  // wire number 27
    APMPBSetArray(bundle.get(), 37, {Value(7), Value(300)});
    APMPBSetInt64(bundle.get(), 38, -1);
    APMPBSetInt32(bundle.get(), 41, 3);
    // HashedUserData has no wrapper: decode it into place.
    auto hashed =
        APMPBMeasurementBundle::initWithBuffer(Data{0xda, 0x03, 0x05, 0x1a, 0x03, 0x3a, 0x01, 'z'});
    ASSERT_TRUE(hashed);
    APMPBMessageInfo* source = hashed->messageInfo();
    ASSERT_EQ(HashedUserData_CopyMessageInfo(
                  reinterpret_cast<APMPBMessageInfo**>(&bundle->messageInfo()->fields[45]),
                  static_cast<const APMPBMessageInfo*>(source->fields[45])),
              1);

    const Data expected = golden("MeasurementBundle");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(hex(*bundle->protoBuffer()), hex(expected));
}

TEST(MeasurementWireFormat, EventParamMatchesTheReferenceEncoder) {
    auto list = APMPBEventParam::make();
    APMPBSetString(list.get(), 0, "list");
    APMPBSetFloat(list.get(), 3, 1.5f);
    APMPBSetDouble(list.get(), 4, -0.25);
    APMPBSetArray(list.get(), 5, {param("a", Value("x")), param("b", Value("y"))});
    EXPECT_EQ(hex(*list->protoBuffer()), hex(golden("EventParam")));

    auto back = APMPBEventParam::initWithBuffer(golden("EventParam"));
    ASSERT_TRUE(back);
    auto nested = *APMPBGetArray(back.get(), 5, APMPBEventParam::classObject());
    ASSERT_EQ(nested.size(), 2u);
    EXPECT_EQ(APMPBGetString(nested[0].message().get(), 1), std::optional<std::string>("x"));
    EXPECT_EQ(APMPBGetString(nested[1].message().get(), 1), std::optional<std::string>("y"));
}

TEST(MeasurementWireFormat, ConfigMatchesTheReferenceEncoder) {
    auto config = APMPBMeasurementConfig::make();
    APMPBSetInt64(config.get(), 0, 3);
    APMPBSetString(config.get(), 1, "1:23:macos");
    auto setting = APMPBSetting::make();
    APMPBSetString(setting.get(), 0, "measurement.upload.max_public_event_params");
    APMPBSetString(setting.get(), 1, "50");
    APMPBSetArray(config.get(), 3, {setting});
    auto eventConfig = APMPBEventConfig::make();
    APMPBSetString(eventConfig.get(), 0, "level_up");
    APMPBSetBool(eventConfig.get(), 1, false);
    APMPBSetInt32(eventConfig.get(), 3, 10);
    APMPBSetArray(config.get(), 4, {eventConfig});

    auto stringFilter = APMPBStringFilter::make();
    APMPBSetInt32(stringFilter.get(), 0, 1);
    APMPBSetArray(stringFilter.get(), 3, {Value("a"), Value("b")});
    auto filter = APMPBFilter::make();
    APMPBSetMessage(filter.get(), 0, stringFilter.get());
    APMPBSetString(filter.get(), 3, "item");
    auto count = APMPBNumberFilter::make();
    APMPBSetInt32(count.get(), 0, 2);
    APMPBSetString(count.get(), 2, "5");
    auto eventFilter = APMPBEventFilter::make();
    APMPBSetInt32(eventFilter.get(), 0, 1);
    APMPBSetString(eventFilter.get(), 1, "purchase");
    APMPBSetArray(eventFilter.get(), 2, {filter});
    APMPBSetMessage(eventFilter.get(), 4, count.get());
    APMPBSetBool(eventFilter.get(), 7, true);
    auto range = APMPBNumberFilter::make();
    APMPBSetString(range.get(), 3, "1");
    APMPBSetString(range.get(), 4, "3");
    auto rangeFilter = APMPBFilter::make();
    APMPBSetMessage(rangeFilter.get(), 1, range.get());
    auto propertyFilter = APMPBPropertyFilter::make();
    APMPBSetInt32(propertyFilter.get(), 0, 2);
    APMPBSetString(propertyFilter.get(), 1, "tier");
    APMPBSetMessage(propertyFilter.get(), 2, rangeFilter.get());
    auto audience = APMPBAudience::make();
    APMPBSetInt32(audience.get(), 0, 9);
    APMPBSetArray(audience.get(), 2, {eventFilter});
    APMPBSetArray(audience.get(), 1, {propertyFilter});
    APMPBSetArray(config.get(), 5, {audience});
    APMPBSetBool(config.get(), 7, false);

    auto deep = entity(1);
    APMPBSetString(deep.get(), 3, "deep");
    auto middle = entity(4);
    APMPBSetArray(middle.get(), 1, {deep});
    auto top = entity(4);
    APMPBSetString(top.get(), 2, "set");
    APMPBSetArray(top.get(), 1, {middle});
    auto flag = entity(3);
    APMPBSetBool(flag.get(), 4, true);
    auto activity = APMPBOgtActivity::make();
    APMPBSetString(activity.get(), 0, "rule");
    APMPBSetArray(activity.get(), 1, {flag});
    auto activities = APMPBOgtActivities::make();
    APMPBSetArray(activities.get(), 0, {activity});
    auto program = APMPBProgram::make();
    APMPBSetArray(program.get(), 0, {top});
    APMPBSetMessage(program.get(), 1, activities.get());
    APMPBSetArray(config.get(), 8, {program});

    EXPECT_EQ(hex(*config->protoBuffer()), hex(golden("MeasurementConfig")));

    // Three levels of entities read back as three levels of messages.
    auto back = APMPBMeasurementConfig::initWithBuffer(golden("MeasurementConfig"));
    ASSERT_TRUE(back);
    auto programs = *APMPBGetArray(back.get(), 8, APMPBProgram::classObject());
    auto level =
        (*APMPBGetArray(programs[0].message().get(), 0, APMPBRuntimeEntity::classObject()))[0]
            .message();
    level = (*APMPBGetArray(level.get(), 1, APMPBRuntimeEntity::classObject()))[0].message();
    level = (*APMPBGetArray(level.get(), 1, APMPBRuntimeEntity::classObject()))[0].message();
    EXPECT_EQ(APMPBGetString(level.get(), 3), std::optional<std::string>("deep"));
    EXPECT_EQ(APMPBGetInt32(level.get(), 0), 1);
    EXPECT_TRUE(APMPBHasField(back.get(), 7));
    EXPECT_FALSE(APMPBGetBool(back.get(), 7));
}

TEST(MeasurementWireFormat, ReferenceEncodingsRoundTrip) {
    struct Case {
        const char* type;
        std::function<std::optional<Data>(const Data&)> roundTrip;
    };
    auto via = [](auto make) {
        return [make](const Data& bytes) -> std::optional<Data> {
            auto message = make(bytes);
            if (!message) return std::nullopt;
            return message->protoBuffer();
        };
    };
    const std::vector<Case> cases = {
        {"MeasurementBundle",
         via([](const Data& b) { return APMPBMeasurementBundle::initWithBuffer(b); })},
        {"EventParam", via([](const Data& b) { return APMPBEventParam::initWithBuffer(b); })},
        {"MeasurementConfig",
         via([](const Data& b) { return APMPBMeasurementConfig::initWithBuffer(b); })},
        {"ExperimentResponse",
         via([](const Data& b) { return APMPBExperimentResponse::initWithBuffer(b); })},
        {"AudienceLeafFilterResult",
         via([](const Data& b) { return APMPBAudienceLeafFilterResult::initWithBuffer(b); })},
    };
    for (const auto& c : cases) {
        const Data bytes = golden(c.type);
        ASSERT_FALSE(bytes.empty()) << c.type;
        EXPECT_EQ(hex(c.roundTrip(bytes).value_or(Data{})), hex(bytes)) << c.type;
    }

    auto result = APMPBAudienceLeafFilterResult::initWithBuffer(golden("AudienceLeafFilterResult"));
    auto current = APMPBGetMessage<APMPBResultData>(result.get(), 1);
    ASSERT_TRUE(current);
    auto status = *APMPBGetArray(current.get(), 0, kAPMPBNumberClass);
    ASSERT_EQ(status.size(), 2u);
    EXPECT_EQ(status[1].value(), Value(18446744073709551615ull));
    EXPECT_FALSE(APMPBHasField(result.get(), 2));
    auto sequences =
        *APMPBGetArray(current.get(), 3, APMPBSequenceFilterResultTimestamp::classObject());
    auto stamps = *APMPBGetArray(sequences[0].message().get(), 1, kAPMPBNumberClass);
    EXPECT_EQ(stamps[0].value(), Value(-1));
}

TEST(MeasurementWireFormat, EveryMessageTypeRoundTrips) {
    std::uint64_t seed = 0;
    for (const APMPBMessageType* type : kAPMPBMessageTypes) {
        SCOPED_TRACE(type->name);
        Record full = freshRecord(*type);
        fill(*type, full.get(), 2, seed);
        long n = 0;
        const auto bytes = encode(*type, full.get(), &n);
        ASSERT_GT(n, 0);
        Record back = freshRecord(*type);
        ASSERT_EQ(APMPBDecode(*type, bytes.data(), bytes.size(), back.get()), 1);
        for (std::uint32_t id = 0; id < type->fieldCount; ++id) {
            if (!(type->types[id] & APMPB_TYPE_MESSAGE)) {
                EXPECT_NE(back->fields[id], nullptr) << type->fields[id].name;
            }
        }
        EXPECT_EQ(hex(encode(*type, back.get())), hex(bytes));
        APMPBMessageInfo* copy = nullptr;
        ASSERT_EQ(APMPBCopyMessageInfo(*type, &copy, back.get()), 1);
        Record owned(copy, RecordDeleter{type});
        EXPECT_EQ(hex(encode(*type, copy)), hex(bytes));
    }
}
