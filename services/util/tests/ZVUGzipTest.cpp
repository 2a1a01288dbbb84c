#include "services/util/ZVUGzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace {

Data randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Data d(n);
    for (auto& b : d) b = static_cast<std::uint8_t>(rng());
    return d;
}

Data zlibWrapped(const Data& input) {
    uLongf size = compressBound(static_cast<uLong>(input.size()));
    Data out(size);
    compress2(out.data(), &size, input.data(), static_cast<uLong>(input.size()), 6);
    out.resize(size);
    return out;
}

}  // namespace

TEST(ZVUGzipTest, EmptyInputGivesNothingAndLeavesTheErrorAlone) {
    NSError untouched("keep", 7);
    EXPECT_FALSE(zvu_dataByGzippingData({}, &untouched));
    EXPECT_FALSE(zvu_dataByInflatingGzippedData({}, &untouched));
    EXPECT_EQ(untouched, NSError("keep", 7));
}

TEST(ZVUGzipTest, GzipRoundTripsAcrossBufferBoundaries) {
    struct Case {
        const char* name;
        Data input;
    };
    std::vector<Case> cases = {{"one byte", Data{'x'}},
                               {"just under the drain buffer", randomBytes(1023, 1)},
                               {"exactly the drain buffer", randomBytes(1024, 2)},
                               {"incompressible", randomBytes(100000, 3)},
                               {"highly compressible", Data(300000, 'a')}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NSError error;
        auto gz = zvu_dataByGzippingData(c.input, &error);
        ASSERT_TRUE(gz);
        ASSERT_GE(gz->size(), 2u);
        EXPECT_EQ((*gz)[0], 0x1f);
        EXPECT_EQ((*gz)[1], 0x8b);
        auto back = zvu_dataByInflatingGzippedData(*gz, &error);
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, c.input);
    }
    Data text(5000, 'z');
    auto plain = zvu_dataByInflatingGzippedData(zlibWrapped(text));
    ASSERT_TRUE(plain);
    EXPECT_EQ(*plain, text);
}

TEST(ZVUGzipTest, DamagedOrTrailingInputIsAnErrorOfItsOwnKind) {
    Data input(4000, 'q');
    Data gz = *zvu_dataByGzippingData(input);

    Data trailing = gz;
    trailing.insert(trailing.end(), {1, 2, 3, 4, 5});
    NSError error;
    EXPECT_FALSE(zvu_dataByInflatingGzippedData(trailing, &error));
    EXPECT_EQ(error.domain, ZVUNSDataZlibErrorDomain);
    EXPECT_EQ(error.code, 1026);
    EXPECT_EQ(error.userInfo[ZVUNSDataZlibRemainingBytesKey].asUInt(), 5u);

    struct Case {
        const char* name;
        Data input;
        int zlibCode;
    };
    Data truncated(gz.begin(), gz.begin() + static_cast<long>(gz.size() / 2));
    for (const Case& c : {Case{"random bytes", randomBytes(64, 9), Z_DATA_ERROR},
                          Case{"truncated", truncated, Z_BUF_ERROR}}) {
        SCOPED_TRACE(c.name);
        NSError e;
        EXPECT_FALSE(zvu_dataByInflatingGzippedData(c.input, &e));
        EXPECT_EQ(e.domain, ZVUNSDataZlibErrorDomain);
        EXPECT_EQ(e.code, 1025);
        EXPECT_EQ(e.userInfo[ZVUNSDataZlibErrorKey].asInt(), c.zlibCode);
        if (c.zlibCode == Z_DATA_ERROR) {
            EXPECT_FALSE(
                e.userInfo[NSError::NSLocalizedDescriptionKey].asString().value_or("").empty());
        }
    }
    EXPECT_FALSE(zvu_dataByInflatingGzippedData(randomBytes(64, 9)));  // no out-parameter
}

TEST(ZVUGzipTest, InflatingStopsAtTheOutputLimit) {
    Data huge(8u * 1024u * 1024u, 0);
    Data gz = *zvu_dataByGzippingData(huge);
    ASSERT_LT(gz.size(), 64u * 1024u);
    NSError error;
    EXPECT_FALSE(zvu_dataByInflatingGzippedData(gz, &error, 1024 * 1024));
    EXPECT_EQ(error.code, 1027);
    EXPECT_EQ(error.userInfo[ZVUNSDataZlibOutputLimitKey].asUInt(), 1024u * 1024u);
    auto within = zvu_dataByInflatingGzippedData(gz, &error, huge.size());
    ASSERT_TRUE(within);
    EXPECT_EQ(within->size(), huge.size());
}
