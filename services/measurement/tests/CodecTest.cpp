#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "services/measurement/APMPBCells.h"
#include "services/measurement/tests/TestRecords.h"
#include "services/measurement/tests/WireBytes.h"

using namespace measurement_test;

namespace {

Record decoded(const APMPBMessageType& type, const std::vector<std::uint8_t>& bytes) {
    Record r = freshRecord(type);
    if (!APMPBDecode(type, bytes.data(), bytes.size(), r.get())) r.reset();
    return r;
}

// The length-delimited field with the one-byte tag.
std::vector<std::uint8_t> field(std::uint8_t tag, const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> out = {tag};
    appendVarint(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::vector<std::uint8_t> text(std::uint8_t tag, std::string_view value) {
    return field(tag, std::vector<std::uint8_t>(value.begin(), value.end()));
}

std::vector<std::uint8_t> varintField(std::uint8_t tag, std::int64_t value) {
    std::vector<std::uint8_t> out = {tag};
    appendVarint(out, static_cast<std::uint64_t>(value));
    return out;
}

std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A RuntimeEntity nested `levels` deep through field 2, the innermost with
// type 7.
std::vector<std::uint8_t> nestedEntity(int levels) {
    std::vector<std::uint8_t> bytes = {0x08, 0x07};
    for (int i = 1; i < levels; ++i) bytes = field(0x12, bytes);
    return bytes;
}

pb_type_t expectedKind(std::uint32_t t) {
    if (t & APMPB_TYPE_BOOL) return PB_LTYPE_BOOL;
    if (t & (APMPB_TYPE_ENUM | APMPB_TYPE_UINT32 | APMPB_TYPE_UINT64)) return PB_LTYPE_UVARINT;
    if (t & (APMPB_TYPE_INT32 | APMPB_TYPE_INT64)) return PB_LTYPE_VARINT;
    if (t & APMPB_TYPE_FLOAT) return PB_LTYPE_FIXED32;
    if (t & APMPB_TYPE_DOUBLE) return PB_LTYPE_FIXED64;
    if (t & APMPB_TYPE_STRING) return PB_LTYPE_STRING;
    if (t & APMPB_TYPE_BYTES) return PB_LTYPE_BYTES;
    // A singular message calls the decoder before its fields arrive.
    return (t & APMPB_FIELD_REPEATED) ? PB_LTYPE_SUBMESSAGE : PB_LTYPE_SUBMSG_W_CB;
}

}  // namespace

// The hand-kept field tables agree with the nanopb structs generated from the
// .proto files: numbers, cardinality, kind and nested types.
TEST(MeasurementCodec, CatalogueMatchesTheGeneratedStructs) {
    std::set<std::string> names;
    for (const APMPBMessageType* type : kAPMPBMessageTypes) {
        SCOPED_TRACE(type->name);
        names.insert(type->name);
        EXPECT_EQ(type->descriptor->field_count, type->fieldCount);
        std::vector<std::uint8_t> wire(type->structSize);
        std::set<std::uint32_t> numbers;
        for (std::uint32_t id = 0; id < type->fieldCount; ++id) {
            const std::uint32_t t = type->types[id];
            const APMPBFieldSpec& spec = type->fields[id];
            numbers.insert(spec.number);
            pb_field_iter_t iter;
            ASSERT_TRUE(pb_field_iter_begin(&iter, type->descriptor, wire.data()));
            ASSERT_TRUE(pb_field_iter_find(&iter, spec.number)) << spec.name;
            const bool repeated = (t & APMPB_FIELD_REPEATED) != 0;
            EXPECT_EQ(repeated, PB_HTYPE(iter.type) == PB_HTYPE_REPEATED) << spec.name;
            EXPECT_EQ(!repeated, (t & APMPB_FIELD_OPTIONAL) != 0) << spec.name;
            EXPECT_EQ(PB_LTYPE(iter.type), expectedKind(t)) << spec.name;
            const bool callback = repeated || (t & (APMPB_TYPE_STRING | APMPB_TYPE_BYTES));
            EXPECT_EQ(callback, PB_ATYPE(iter.type) == PB_ATYPE_CALLBACK) << spec.name;
            if (t & APMPB_TYPE_MESSAGE) {
                ASSERT_NE(spec.element, nullptr);
                if (!repeated) {
                    EXPECT_EQ(iter.submsg_desc, spec.element->descriptor) << spec.name;
                }
            } else {
                EXPECT_EQ(spec.element, nullptr);
                // The codec reads repeated scalars as varints only.
                if (repeated) {
                    EXPECT_TRUE(t & (APMPB_TYPE_STRING | APMPB_TYPE_BYTES | 0x7C0));
                }
            }
        }
        EXPECT_EQ(numbers.size(), type->fieldCount);
    }
    EXPECT_EQ(names.size(), kAPMPBMessageTypeCount);
}

TEST(MeasurementCodec, TwoPassTypes) {
    const std::set<std::string> onePass = {
        "Address",     "AppProperty",  "CustomProperty", "DynamicFilterResultTimestamp",
        "EventConfig", "Flag",         "HashedUserData", "NumberFilter",
        "Setting",     "UserAttribute"};
    for (const APMPBMessageType* type : kAPMPBMessageTypes) {
        EXPECT_EQ(APMPBDecodesInTwoPasses(*type), !onePass.count(type->name)) << type->name;
    }
}

TEST(MeasurementCodec, EmptyBufferDecodesToAnEmptyMessage) {
    for (const APMPBMessageType* type : kAPMPBMessageTypes) {
        SCOPED_TRACE(type->name);
        Record r = decoded(*type, {});
        ASSERT_TRUE(r);
        EXPECT_STREQ(r->name, type->name);
        for (std::uint32_t id = 0; id < type->fieldCount; ++id) {
            if (type->types[id] & APMPB_FIELD_REPEATED) {
                ASSERT_NE(r->fields[id], nullptr);
                EXPECT_EQ(container(r.get(), id)->count, 0u);
            } else {
                EXPECT_EQ(r->fields[id], nullptr);
            }
        }
        long n = 0;
        EXPECT_TRUE(encode(*type, r.get(), &n).empty());
        EXPECT_EQ(n, 0);
    }
}

TEST(MeasurementCodec, RepeatedElementsInWireOrder) {
    // Snapshot: sdk_name "s", three experiments with ids 1, 2, 3.
    const auto bytes = bytesOf(
        {0x0a, 0x01, 's', 0x12, 0x02, 0x08, 0x01, 0x12, 0x02, 0x08, 0x02, 0x12, 0x02, 0x08, 0x03});
    Record r = decoded(kAPMPBSnapshotType, bytes);
    ASSERT_TRUE(r);
    const APMPBArray* experiments = container(r.get(), 1);
    EXPECT_EQ(experiments->count, 3u);
    EXPECT_EQ(experiments->filled, 3u);
    for (int i = 0; i < 3; ++i) {
        const auto* e =
            static_cast<const APMPBMessageInfo*>(static_cast<void**>(experiments->data)[i]);
        EXPECT_STREQ(e->name, "Experiment");
        EXPECT_EQ(cellValue(e->fields[0]), static_cast<std::uint64_t>(i + 1));
        EXPECT_EQ(container(e, 1)->count, 0u);
    }
    EXPECT_EQ(cellString(r->fields[0]), "s");
    EXPECT_EQ(encode(kAPMPBSnapshotType, r.get()), bytes);
}

TEST(MeasurementCodec, NestedSingularMessages) {
    // Filter with string_filter {expression "e"} and no number_filter.
    Record filter = decoded(kAPMPBFilterType, bytesOf({0x0a, 0x03, 0x12, 0x01, 'e'}));
    ASSERT_TRUE(filter);
    ASSERT_NE(filter->fields[0], nullptr);
    EXPECT_EQ(filter->fields[1], nullptr);
    const auto* stringFilter = static_cast<const APMPBMessageInfo*>(filter->fields[0]);
    EXPECT_EQ(cellString(stringFilter->fields[1]), "e");

    // Bundle: hashed_user_data absent, then present with an address.
    Record bare = decoded(kAPMPBMeasurementBundleType, bytesOf({0x08, 0x01}));
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->fields[45], nullptr);
    Record hashed = decoded(kAPMPBMeasurementBundleType,
                            bytesOf({0xda, 0x03, 0x05, 0x1a, 0x03, 0x3a, 0x01, 'z'}));
    ASSERT_TRUE(hashed);
    const auto* user = static_cast<const APMPBMessageInfo*>(hashed->fields[45]);
    ASSERT_NE(user, nullptr);
    const auto* address = static_cast<const APMPBMessageInfo*>(user->fields[2]);
    ASSERT_NE(address, nullptr);
    EXPECT_STREQ(address->name, "Address");
    EXPECT_EQ(cellString(address->fields[6]), "z");

    // A config without field 8 leaves field ID 7 absent (the declared
    // default never reaches a slot).
    Record config = decoded(kAPMPBMeasurementConfigType, bytesOf({0x08, 0x05}));
    ASSERT_TRUE(config);
    EXPECT_EQ(config->fields[7], nullptr);
}

TEST(MeasurementCodec, FirstOccurrenceOfAStringWins) {
    Record r = decoded(kAPMPBSettingType, bytesOf({0x0a, 0x01, 'a', 0x0a, 0x01, 'b', 0x12, 0x00}));
    ASSERT_TRUE(r);
    EXPECT_EQ(cellString(r->fields[0]), "a");
    // An empty value is present, with a buffer.
    ASSERT_NE(r->fields[1], nullptr);
    EXPECT_NE(container(r.get(), 1)->data, nullptr);
    EXPECT_EQ(encode(kAPMPBSettingType, r.get()), bytesOf({0x0a, 0x01, 'a', 0x12, 0x00}));
}

TEST(MeasurementCodec, FailuresPrintTheirLine) {
    Lines lines;
    EXPECT_EQ(APMPBDecode(kAPMPBEventType, nullptr, 0, nullptr), 0);
    EXPECT_TRUE(lines.has("<ERROR> Event decoder failed: message_info is NULL"));

    Record event = freshRecord(kAPMPBEventType);
    const auto truncated = bytesOf({0x12, 0x05, 'a'});
    EXPECT_EQ(APMPBDecode(kAPMPBEventType, truncated.data(), truncated.size(), event.get()), 0);
    EXPECT_TRUE(lines.has("<ERROR> Event decoder failed: parent stream too short"));

    // A broken element inside a repeated field names the element type.
    lines.clear();
    Record batch = freshRecord(kAPMPBMeasurementBatchType);
    const auto badElement = bytesOf({0x0a, 0x02, 0x08, 0x80});
    EXPECT_EQ(
        APMPBDecode(kAPMPBMeasurementBatchType, badElement.data(), badElement.size(), batch.get()),
        0);
    EXPECT_TRUE(lines.has(
        "<ERROR> MeasurementBundle decoder failed: Unable to decode repeated MeasurementBundle"));

    EXPECT_EQ(APMPBDeallocField(kAPMPBEventType, event.get(), 5), 0);
    EXPECT_TRUE(lines.has("<ERROR> Event: Cannot deallocate field 5: Unknown field"));
    EXPECT_EQ(APMPBDeallocField(kAPMPBEventType, nullptr, 0), 0);
    EXPECT_EQ(APMPBFreeMessageInfo(kAPMPBEventType, nullptr), 0);
    EXPECT_EQ(APMPBInitMessageInfo(kAPMPBEventType, nullptr), 0);

    // A repeated field without its container cannot be encoded or decoded.
    Record broken = freshRecord(kAPMPBEventType);
    broken->fields[0] = nullptr;
    long n = 0;
    encode(kAPMPBEventType, broken.get(), &n);
    EXPECT_EQ(n, -1);
    EXPECT_TRUE(lines.has("<ERROR> Event Encoder: 'params' should have been allocated"));
    EXPECT_EQ(APMPBDecode(kAPMPBEventType, nullptr, 0, broken.get()), 0);
    EXPECT_TRUE(lines.has("<ERROR> Event decoder failed: Unable to set decoders"));

    void* noContainer = nullptr;
    pb_istream_t stream = pb_istream_from_buffer(nullptr, 0);
    EXPECT_FALSE(Event_DecodeRepeated(&stream, nullptr, &noContainer));
    EXPECT_TRUE(lines.has("<ERROR> Event decoder failed: Invalid arg parameter"));
}

TEST(MeasurementCodec, CopiesAreDeepAndIndependent) {
    const auto bytes = bytesOf({0x0a, 0x08, 0x0a, 0x01, 'p', 0x32, 0x03, 0x0a, 0x01, 'q', 0x12,
                                0x02, 'e', 'v', 0x18, 0x2a});
    Record event = decoded(kAPMPBEventType, bytes);
    ASSERT_TRUE(event);
    APMPBMessageInfo* copy = nullptr;
    ASSERT_EQ(APMPBCopyMessageInfo(kAPMPBEventType, &copy, event.get()), 1);
    Record owned(copy, RecordDeleter{&kAPMPBEventType});
    event.reset();  // the copy shares nothing with its source
    EXPECT_EQ(encode(kAPMPBEventType, copy), bytes);

    // Copying over an existing record replaces it.
    Record other = decoded(kAPMPBEventType, bytesOf({0x12, 0x01, 'x'}));
    APMPBMessageInfo* target = other.release();
    ASSERT_EQ(APMPBCopyMessageInfo(kAPMPBEventType, &target, copy), 1);
    Record replaced(target, RecordDeleter{&kAPMPBEventType});
    EXPECT_EQ(encode(kAPMPBEventType, target), bytes);
}

// Decoded values live partly in the record's own blocks; they are still
// overwritten in place, cleared, set again and replaced by a new decode like
// any other cell.
TEST(MeasurementCodec, DecodedValuesCanBeReplacedAndCleared) {
    const auto bytes = bytesOf({0x12, 0x02, 'e', 'v', 0x18, 0x2a});
    Record event = decoded(kAPMPBEventType, bytes);
    ASSERT_TRUE(event);
    APMPBSetUInt64Cell(&event->fields[2], 7);
    APMPBSetBytesCell(&event->fields[1], "a longer name", 13);
    EXPECT_EQ(encode(kAPMPBEventType, event.get()),
              concat({text(0x12, "a longer name"), varintField(0x18, 7)}));

    ASSERT_EQ(APMPBDeallocField(kAPMPBEventType, event.get(), 1), 1);
    ASSERT_EQ(APMPBDeallocField(kAPMPBEventType, event.get(), 2), 1);
    EXPECT_EQ(event->fields[2], nullptr);
    APMPBSetUInt64Cell(&event->fields[2], 9);
    EXPECT_EQ(encode(kAPMPBEventType, event.get()), varintField(0x18, 9));

    ASSERT_EQ(APMPBDecode(kAPMPBEventType, bytes.data(), bytes.size(), event.get()), 1);
    EXPECT_EQ(encode(kAPMPBEventType, event.get()), bytes);
}

// Nesting through repeated messages is bounded both ways, so hostile input
// cannot exhaust the stack, and every level is encoded once, so deep trees
// encode in linear time.
TEST(MeasurementCodec, NestingDepthIsBounded) {
    Lines lines;
    Record deepest = decoded(kAPMPBRuntimeEntityType, nestedEntity(kAPMPBMaxNestingDepth));
    ASSERT_TRUE(deepest);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(encode(kAPMPBRuntimeEntityType, deepest.get()), nestedEntity(kAPMPBMaxNestingDepth));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

    EXPECT_FALSE(decoded(kAPMPBRuntimeEntityType, nestedEntity(kAPMPBMaxNestingDepth + 1)));
    EXPECT_TRUE(lines.has("<ERROR> RuntimeEntity decoder failed: Message nesting is too deep"));

    // A record built one level deeper than that is refused by the encoder.
    Record top = freshRecord(kAPMPBRuntimeEntityType);
    auto* values = static_cast<APMPBArray*>(top->fields[1]);
    values->data = std::calloc(1, sizeof(void*));
    values->count = values->filled = 1;
    APMPBMessageInfo* inner = deepest.release();
    static_cast<void**>(values->data)[0] = inner;
    long n = 0;
    encode(kAPMPBRuntimeEntityType, top.get(), &n);
    EXPECT_EQ(n, -1);
    EXPECT_TRUE(lines.has("<ERROR> RuntimeEntity Encoder: message nesting is too deep"));
}

TEST(MeasurementCodec, NamedEntryPointsUseTheirType) {
    Record r = freshRecord(kAPMPBFlagType);
    APMPBMessageInfo* info =
        static_cast<APMPBMessageInfo*>(std::calloc(1, sizeof(APMPBMessageInfo)));
    ASSERT_EQ(Flag_InitMessageInfo(info), 1);
    EXPECT_STREQ(info->name, "Flag");
    EXPECT_EQ(info->types, kAPMPBFlagType.types);
    const auto bytes = bytesOf({0x0a, 0x01, 'f', 0x10, 0x07});
    ASSERT_EQ(Flag_Decode(bytes.data(), bytes.size(), info), 1);
    std::uint8_t* out = nullptr;
    ASSERT_EQ(Flag_Encode(info, &out), static_cast<long>(bytes.size()));
    EXPECT_EQ(std::memcmp(out, bytes.data(), bytes.size()), 0);
    std::free(out);
    EXPECT_EQ(Flag_DeallocField(info, 1), 1);
    EXPECT_EQ(info->fields[1], nullptr);
    EXPECT_EQ(Flag_FreeMessageInfo(info), 1);
}

// The record of an empty message costs hundreds of bytes for two bytes of
// input. A decode takes at most a fixed multiple of its input's size in heap
// (and an allowance) and is refused past that with one line, while messages
// of ordinary density stay well inside.
TEST(MeasurementCodec, DecodeHeapIsBoundedByTheInputSize) {
    const auto event = concat({field(0x0a, concat({text(0x0a, "_o"), text(0x12, "auto")})),
                               field(0x0a, concat({text(0x0a, "_si"), varintField(0x18, -54321)})),
                               text(0x12, "screen_view"), varintField(0x18, 1700000000000)});
    const auto eventConfig = concat({text(0x0a, "purchase"), varintField(0x18, 1)});
    struct Case {
        const char* what;
        const APMPBMessageType& type;
        std::uint8_t tag;
        std::vector<std::uint8_t> element;
        bool decodes;
    };
    const Case cases[] = {
        {"empty bundles", kAPMPBMeasurementBatchType, 0x0a, {}, false},
        {"empty audiences", kAPMPBMeasurementConfigType, 0x32, {}, false},
        {"empty experiments", kAPMPBSnapshotType, 0x12, {}, false},
        {"events", kAPMPBMeasurementBundleType, 0x12, event, true},
        {"event configurations", kAPMPBMeasurementConfigType, 0x2a, eventConfig, true},
        // Five bytes each: they decode only while a record of a named event
        // or parameter, its name and its element pointer take under 160 bytes.
        {"named events", kAPMPBMeasurementBundleType, 0x12, text(0x12, "a"), true},
        {"named parameters", kAPMPBEventType, 0x0a, text(0x0a, "a"), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto one = field(c.tag, c.element);
        std::vector<std::uint8_t> bytes;
        while (bytes.size() < (1u << 20)) bytes.insert(bytes.end(), one.begin(), one.end());
        Lines lines;
        Record r = decoded(c.type, bytes);
        EXPECT_EQ(r != nullptr, c.decodes);
        const std::string refused =
            std::string("<ERROR> ") + c.type.name + " decoder failed: " +
            std::to_string(bytes.size()) + " bytes of input need more than " +
            std::to_string(bytes.size() * kAPMPBDecodeHeapPerInputByte + kAPMPBDecodeHeapAllowance) +
            " bytes of memory";
        EXPECT_EQ(lines.has(refused), !c.decodes);
        if (r) {
            EXPECT_EQ(encode(c.type, r.get()), bytes);
        }
    }
}
