#include <gtest/gtest.h>

#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMValue.h"

namespace {

long long lastCode() {
    auto lines = APMMeasurement::monitor().lines();
    return lines.empty() ? 0 : lines.back().messageCode;
}

TEST(ValueTest, ConvertsObjectsByKind) {
    struct Case {
        Value object;
        APMValueType type;
        Value stored;
    } cases[] = {
        {Value(true), APMValueTypeInt64, Value(1LL)},
        {Value(false), APMValueTypeInt64, Value(0LL)},
        {Value(2.5), APMValueTypeDouble, Value(2.5)},
        {Value(INT64_MIN), APMValueTypeInt64, Value(static_cast<long long>(INT64_MIN))},
        {Value("\xF0\x9F\x98\x80"), APMValueTypeString, Value("\xF0\x9F\x98\x80")},
    };
    for (const auto& c : cases) {
        auto value = APMValue::valueFromObject(c.object);
        ASSERT_TRUE(value) << c.object;
        EXPECT_EQ(value->valueType(), c.type) << c.object;
        EXPECT_EQ(value->object(), c.stored) << c.object;
    }
    EXPECT_EQ(APMValue::valueFromObject(Value(2.5))->doubleValue(), 2.5);
    EXPECT_EQ(APMValue::valueFromObject(Value(2.5))->int64Value(), 0);
    EXPECT_EQ(APMValue::valueFromObject(Value("s"))->stringValue(), "s");
    EXPECT_EQ(APMValue::valueFromObject(Value(1))->stringValue(), std::nullopt);
}

TEST(ValueTest, RefusesWithCodes) {
    APMMeasurement::monitor().clearLines();
    const Value array(Array{Value(Dictionary{{"p", 1}})});
    EXPECT_FALSE(APMValue::valueFromObject(array));
    EXPECT_EQ(lastCode(), 35001);
    EXPECT_FALSE(APMValue::valueFromObject(nullptr));
    EXPECT_EQ(lastCode(), 35000);
    EXPECT_FALSE(APMValue::valueFromObject(Value(Data{1})));
    EXPECT_EQ(lastCode(), 35001);
    EXPECT_FALSE(APMValue::initWithString(nullptr));
    EXPECT_EQ(lastCode(), 35002);
    EXPECT_FALSE(APMValue::initWithString(&array));
    EXPECT_EQ(lastCode(), 35003);
    EXPECT_FALSE(APMValue::initWithArray(nullptr));
    EXPECT_EQ(lastCode(), 35004);
    Value text("x");
    EXPECT_FALSE(APMValue::initWithArray(&text));
    EXPECT_EQ(lastCode(), 35005);

    auto accepted = APMValue::valueFromObject(array, true);
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(accepted->isArray());
    EXPECT_EQ(accepted->arrayValue(), *array.asArray());
}

TEST(ValueTest, ArrayIsCopiedNotShared) {
    Value array(Array{Value(1)});
    auto value = APMValue::valueFromObject(array, true);
    array.array().push_back(Value(2));
    EXPECT_EQ(value->arrayValue()->size(), 1u);
}

TEST(ValueTest, EqualityIsSymmetricAcrossClasses) {
    APMValue plain = APMValue::initWithInt64(5);
    ZIREValue runtime(APMValue::initWithInt64(5));
    EXPECT_FALSE(plain.isEqual(runtime));
    EXPECT_FALSE(runtime.isEqual(plain));
    EXPECT_TRUE(runtime.isEqual(ZIREValue(APMValue::initWithInt64(5))));
    EXPECT_TRUE(plain.isEqual(APMValue::initWithInt64(5)));
    EXPECT_FALSE(plain.isEqual(APMValue::initWithDouble(5.0)));
    EXPECT_EQ(plain.hash(), APMValue::initWithInt64(5).hash());
    EXPECT_NE(plain.hash(), APMValue::initWithDouble(5.0).hash());
}

}  // namespace
