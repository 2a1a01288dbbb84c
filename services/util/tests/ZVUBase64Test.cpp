#include "services/util/ZVUBase64.h"

#include <gtest/gtest.h>

namespace {

TEST(ZVUBase64Test, EncodesBothAlphabetsAndDecodesOnlyWholeText) {
    struct Case {
        Data data;
        const char* standard;
        const char* url;
        const char* urlUnpadded;
    };
    const Case cases[] = {
        {Data{}, "", "", ""},
        {Data{0x01}, "AQ==", "AQ==", "AQ"},
        {Data{0xFB, 0xFF}, "+/8=", "-_8=", "-_8"},
        {Data{0xFB, 0xFF, 0xBF}, "+/+/", "-_-_", "-_-_"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.standard);
        EXPECT_EQ(ZVUBase64Encode(c.data), c.standard);
        EXPECT_EQ(ZVUBase64URLEncode(c.data), c.url);
        EXPECT_EQ(ZVUBase64URLEncode(c.data, false), c.urlUnpadded);
        EXPECT_EQ(ZVUBase64Decode(c.standard), c.data);
    }
    for (const char* broken : {"AQ=", "A===", "AQ=A", "-_-_", "AQ==AQ==", "A\nQ="}) {
        EXPECT_FALSE(ZVUBase64Decode(broken)) << broken;
    }
}

}  // namespace
