#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "services/measurement/APMPBCells.h"
#include "services/measurement/tests/TestRecords.h"

using namespace measurement_test;

namespace {

// A length-delimited field 1 of `length` bytes 'x'.
std::vector<std::uint8_t> stringField(std::size_t length) {
    std::vector<std::uint8_t> out{0x0a};
    std::size_t n = length;
    do {
        std::uint8_t b = n & 0x7f;
        n >>= 7;
        out.push_back(n ? (b | 0x80) : b);
    } while (n);
    out.insert(out.end(), length, 'x');
    return out;
}

bool decodeBytesField(const std::vector<std::uint8_t>& payload, void** slot) {
    pb_istream_t stream = pb_istream_from_buffer(payload.data(), payload.size());
    void* arg = slot;
    return APMPBDecodeBytesField(&stream, nullptr, &arg);
}

void freeCell(void* cell) {
    if (cell == nullptr) return;
    APMPBReleaseBytes(static_cast<APMPBArray*>(cell));
    std::free(cell);
}

}  // namespace

TEST(MeasurementCells, NullDestinationsPrintTheirLine) {
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[] { APMPBSetBoolCell(nullptr, true); },
         "<ERROR> Unable to set bool. Destination pointer is NULL"},
        {[] { APMPBSetUInt32Cell(nullptr, 1); },
         "<ERROR> Unable to set uint32. Destination pointer is NULL"},
        {[] { APMPBSetUInt64Cell(nullptr, 1); },
         "<ERROR> Unable to set uint64. Destination pointer is NULL"},
        {[] { APMPBSetFloatCell(nullptr, 1); },
         "<ERROR> Unable to set float. Destination pointer is NULL"},
        {[] { APMPBSetDoubleCell(nullptr, 1); },
         "<ERROR> Unable to set double. Destination pointer is NULL"},
        {[] { APMPBSetBytesCell(nullptr, "a", 1); },
         "<ERROR> Unable to set string. Destination array is NULL"},
        {[] { APMPBReleaseBytes(nullptr); },
         "<ERROR> Unable to dealloc string field. String struct is NULL"},
        {[] { APMPBReleaseArray(nullptr); },
         "<ERROR> Unable to initialize the array. Array pointer is NULL"},
    };
    for (const auto& [call, text] : cases) {
        Lines lines;
        call();
        EXPECT_EQ(lines.all(), std::vector<std::string>{text});
    }
}

TEST(MeasurementCells, WritersAllocateOnceAndOverwriteInPlace) {
    void* cell = nullptr;
    APMPBSetUInt32Cell(&cell, 0xffffffffu);
    void* first = cell;
    EXPECT_EQ(cellValue(cell), 0xffffffffull);  // zero-extended
    APMPBSetUInt64Cell(&cell, 0x1122334455667788ull);
    EXPECT_EQ(cell, first);
    EXPECT_EQ(cellValue(cell), 0x1122334455667788ull);
    std::free(cell);

    void* text = nullptr;
    APMPBSetBytesCell(&text, "hello", 5);
    APMPBSetBytesCell(&text, "hi", 2);
    EXPECT_EQ(cellString(text), "hi");
    EXPECT_EQ(static_cast<const char*>(static_cast<APMPBArray*>(text)->data)[2], '\0');
    freeCell(text);
}

TEST(MeasurementCells, EmptyBytesKeepAZeroedBuffer) {
    void* cell = nullptr;
    APMPBSetBytesCell(&cell, nullptr, 0);
    auto* c = static_cast<APMPBArray*>(cell);
    ASSERT_NE(c->data, nullptr);
    EXPECT_EQ(c->count, 0u);
    EXPECT_EQ(*static_cast<const char*>(c->data), '\0');
    freeCell(cell);

    // Decoded from the wire too: an empty value is a buffer, not null.
    void* decoded = nullptr;
    ASSERT_TRUE(decodeBytesField({}, &decoded));
    ASSERT_NE(decoded, nullptr);
    EXPECT_NE(static_cast<APMPBArray*>(decoded)->data, nullptr);
    EXPECT_EQ(static_cast<APMPBArray*>(decoded)->count, 0u);
    freeCell(decoded);
}

TEST(MeasurementCells, BytesFieldLimit) {
    Lines lines;
    // The decoder sees the field's own bytes as its stream.
    const std::vector<std::uint8_t> atLimit(kAPMPBMaxBytesFieldLength, 'x');
    void* cell = nullptr;
    ASSERT_TRUE(decodeBytesField(atLimit, &cell));
    EXPECT_EQ(static_cast<APMPBArray*>(cell)->count, kAPMPBMaxBytesFieldLength);
    freeCell(cell);

    const std::vector<std::uint8_t> over(kAPMPBMaxBytesFieldLength + 1, 'x');
    cell = nullptr;
    EXPECT_FALSE(decodeBytesField(over, &cell));
    EXPECT_EQ(cell, nullptr);
    EXPECT_TRUE(lines.has("Unable to process proto stream. Buffer is too big. 1048577 > 1048576"));

    // And through a whole message decode.
    auto setting = freshRecord(kAPMPBSettingType);
    const auto message = stringField(kAPMPBMaxBytesFieldLength + 1);
    EXPECT_EQ(APMPBDecode(kAPMPBSettingType, message.data(), message.size(), setting.get()), 0);
    auto ok = freshRecord(kAPMPBSettingType);
    const auto fits = stringField(kAPMPBMaxBytesFieldLength);
    EXPECT_EQ(APMPBDecode(kAPMPBSettingType, fits.data(), fits.size(), ok.get()), 1);
}

TEST(MeasurementCells, BytesFieldKeepsFirstValueAndRejectsEmptyCell) {
    void* cell = nullptr;
    ASSERT_TRUE(decodeBytesField({'o', 'n', 'e'}, &cell));
    ASSERT_TRUE(decodeBytesField({'t', 'w', 'o'}, &cell));
    EXPECT_EQ(cellString(cell), "one");
    freeCell(cell);

    Lines lines;
    void* hollow = std::calloc(1, sizeof(APMPBArray));
    EXPECT_FALSE(decodeBytesField({'x'}, &hollow));
    EXPECT_TRUE(lines.has("<ERROR> String decoder failed: string data is NULL"));
    std::free(hollow);
}

TEST(MeasurementCells, RepeatedDecodersCountThenFill) {
    APMPBArray container;
    void* arg = &container;
    const std::vector<std::vector<std::uint8_t>> elements = {{'a'}, {'b', 'b'}, {}};
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) {
            container.data = std::calloc(container.count, sizeof(void*));
            container.filled = 0;
        }
        for (const auto& e : elements) {
            pb_istream_t stream = pb_istream_from_buffer(e.data(), e.size());
            ASSERT_TRUE(APMPBDecodeRepeatedBytes(&stream, nullptr, &arg));
        }
    }
    EXPECT_EQ(container.count, 3u);
    EXPECT_EQ(container.filled, 3u);
    auto** items = static_cast<void**>(container.data);
    EXPECT_EQ(cellString(items[0]), "a");
    EXPECT_EQ(cellString(items[1]), "bb");
    EXPECT_EQ(cellString(items[2]), "");
    // A fourth element in the filling pass is more than was counted.
    Lines lines;
    pb_istream_t extra = pb_istream_from_buffer(nullptr, 0);
    EXPECT_FALSE(APMPBDecodeRepeatedBytes(&extra, nullptr, &arg));
    for (int i = 0; i < 3; ++i) freeCell(items[i]);
    APMPBReleaseArray(&container);

    // Integers: one varint per call.
    APMPBArray numbers;
    void* numbersArg = &numbers;
    const std::vector<std::uint8_t> varint = {0xff, 0xff, 0xff, 0xff, 0xff,
                                              0xff, 0xff, 0xff, 0xff, 0x01};
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) numbers.data = std::calloc(numbers.count, sizeof(void*));
        pb_istream_t stream = pb_istream_from_buffer(varint.data(), varint.size());
        ASSERT_TRUE(APMPBDecodeRepeatedUInt64(&stream, nullptr, &numbersArg));
    }
    EXPECT_EQ(numbers.count, 1u);
    EXPECT_EQ(numbers.filled, 1u);
    EXPECT_EQ(cellValue(static_cast<void**>(numbers.data)[0]), UINT64_MAX);
    std::free(static_cast<void**>(numbers.data)[0]);
    APMPBReleaseArray(&numbers);

    void* none = nullptr;
    pb_istream_t stream = pb_istream_from_buffer(nullptr, 0);
    EXPECT_FALSE(APMPBDecodeRepeatedBytes(&stream, nullptr, &none));
    EXPECT_FALSE(APMPBDecodeRepeatedUInt64(&stream, nullptr, &none));
    EXPECT_FALSE(APMPBDecodeBytesField(&stream, nullptr, &none));
}

TEST(MeasurementCells, RepeatedEncodersNeedAnElementArray) {
    // A field descriptor to write tags for: StringFilter's expression_list.
    std::vector<std::uint8_t> wire(kAPMPBStringFilterType.structSize);
    pb_field_iter_t iter;
    ASSERT_TRUE(pb_field_iter_begin(&iter, kAPMPBStringFilterType.descriptor, wire.data()));
    ASSERT_TRUE(pb_field_iter_find(&iter, 4));

    std::uint8_t buffer[64];
    auto run = [&](auto encoder, APMPBArray* container) {
        pb_ostream_t out = pb_ostream_from_buffer(buffer, sizeof buffer);
        void* arg = container;
        const bool ok = encoder(&out, &iter, &arg);
        return std::make_pair(ok, out.bytes_written);
    };
    APMPBArray bare;  // count 0, no element array
    EXPECT_FALSE(run(APMPBEncodeRepeatedBytes, &bare).first);
    EXPECT_FALSE(run(APMPBEncodeRepeatedUInt64, &bare).first);
    EXPECT_FALSE(run(APMPBEncodeRepeatedBytes, nullptr).first);

    void* slot = nullptr;
    APMPBArray empty{0, 0, &slot};
    EXPECT_EQ(run(APMPBEncodeRepeatedBytes, &empty), std::make_pair(true, std::size_t{0}));
    EXPECT_EQ(run(APMPBEncodeRepeatedUInt64, &empty), std::make_pair(true, std::size_t{0}));

    void* hollow[1] = {std::calloc(1, sizeof(APMPBArray))};
    APMPBArray withHollow{1, 1, hollow};
    EXPECT_FALSE(run(APMPBEncodeRepeatedBytes, &withHollow).first);
    std::free(hollow[0]);
}

TEST(MeasurementCells, EncodeToBufferSizesExactly) {
    auto setting = freshRecord(kAPMPBSettingType);
    std::uint8_t* out = reinterpret_cast<std::uint8_t*>(1);
    // An empty message: zero bytes in a real buffer.
    EXPECT_EQ(APMPBEncode(kAPMPBSettingType, setting.get(), &out), 0);
    EXPECT_NE(out, nullptr);
    std::free(out);
    EXPECT_EQ(APMPBEncode(kAPMPBSettingType, setting.get(), nullptr), -1);
}
