#include "app/ui/NSColorHex.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

struct Accepted {
    std::string text;
    std::optional<float> alpha;
    double red, green, blue, alphaComponent;
};

}  // namespace

TEST(NSColorHex, AcceptsTheFourFormsWithOrWithoutHash) {
    const Accepted cases[] = {
        {"#B50E0E", std::nullopt, 181 / 255.0, 14 / 255.0, 14 / 255.0, 1},
        {"B50E0E", std::nullopt, 181 / 255.0, 14 / 255.0, 14 / 255.0, 1},
        {"#FFF", std::nullopt, 1, 1, 1, 1},
        {"#FFF8", std::nullopt, 1, 1, 1, 0x88 / 255.0},
        {"#FFF8", 0.5f, 1, 1, 1, 0.5},
        {"#000000", 0.125f, 0, 0, 0, 0.125},
        {"#80FF0000", std::nullopt, 0x80 / 255.0, 1, 0, 0},
        {"#abc", std::nullopt, 0xAA / 255.0, 0xBB / 255.0, 0xCC / 255.0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto color = colorFromHex(c.text, c.alpha);
        ASSERT_NE(color, nullptr);
        EXPECT_DOUBLE_EQ(color->redComponent(), c.red);
        EXPECT_DOUBLE_EQ(color->greenComponent(), c.green);
        EXPECT_DOUBLE_EQ(color->blueComponent(), c.blue);
        EXPECT_DOUBLE_EQ(color->alphaComponent(), c.alphaComponent);
        EXPECT_FALSE(color->name().has_value());
    }
}

TEST(NSColorHex, RejectsWrongLengthsSignsAndOtherCharacters) {
    for (const char* text : {"#12345", "#", "", "#GG0000", "#1", "#12", "#1234567", "#123456789",
                             "-FFF", "+FFF", "#-FF", "#+FFFFF", " FFF", "#FF F", "0x12"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(colorFromHex(text), nullptr);
        EXPECT_EQ(colorFromHex(text, 1.0f), nullptr);
    }
}
