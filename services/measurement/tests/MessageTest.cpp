#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "services/measurement/APMPBMessage.h"
#include "services/measurement/tests/TestRecords.h"

using namespace measurement_test;

namespace {

std::vector<std::string> expressions(const APMPBStringFilter& filter) {
    std::vector<std::string> out;
    const auto array = APMPBGetArray(&filter, 3, kAPMPBStringClass);
    for (const APMPBObject& o : *array) {
        out.push_back(*o.value().asString());
    }
    return out;
}

}  // namespace

TEST(MeasurementMessage, HasFieldAnswers) {
    auto event = APMPBEvent::make();
    EXPECT_TRUE(APMPBHasField(event.get(), 0));  // repeated, even when empty
    EXPECT_FALSE(APMPBHasField(event.get(), 2));
    APMPBSetInt64(event.get(), 2, 0);
    EXPECT_TRUE(APMPBHasField(event.get(), 2));
    APMPBClearField(event.get(), 2);
    EXPECT_FALSE(APMPBHasField(event.get(), 2));
}

TEST(MeasurementMessage, ScalarAccessorsByKind) {
    auto bundle = APMPBMeasurementBundle::make();
    APMPBSetInt32(bundle.get(), 12, -120);  // int32
    APMPBSetInt32(bundle.get(), 41, 3);     // uint32 as enumeration
    APMPBSetInt64(bundle.get(), 3, -5);     // int64
    APMPBSetBool(bundle.get(), 21, true);
    EXPECT_EQ(APMPBGetInt32(bundle.get(), 12), -120);
    EXPECT_EQ(APMPBGetInt32(bundle.get(), 41), 3);
    EXPECT_EQ(APMPBGetInt64(bundle.get(), 3), -5);
    EXPECT_TRUE(APMPBGetBool(bundle.get(), 21));
    EXPECT_EQ(APMPBGetInt64(bundle.get(), 4), 0);  // absent

    auto param = APMPBEventParam::make();
    APMPBSetFloat(param.get(), 3, 1.5f);
    APMPBSetDouble(param.get(), 4, -2.25);
    EXPECT_EQ(APMPBGetFloat(param.get(), 3), 1.5f);
    EXPECT_EQ(APMPBGetDouble(param.get(), 4), -2.25);

    auto results = APMPBResultData::make();
    APMPBSetArray(results.get(), 0, {Value(0xffffffffffffffffull), Value(1)});
    const auto words = *APMPBGetArray(results.get(), 0, kAPMPBNumberClass);
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0].value(), Value(0xffffffffffffffffull));
}

TEST(MeasurementMessage, WrongFieldTypesAreRefused) {
    auto bundle = APMPBMeasurementBundle::make();
    auto* b = bundle.get();
    struct Case {
        std::function<void()> call;
        std::string text;
    };
    const std::vector<Case> cases = {
        {[b] { EXPECT_FALSE(APMPBGetBool(b, 0)); },
         "BOOL. Message: MeasurementBundle, field ID: 0"},
        {[b] { APMPBSetBool(b, 8, true); }, "BOOL. Message: MeasurementBundle, field ID: 8"},
        {[b] { EXPECT_EQ(APMPBGetInt32(b, 3), 0); },
         "INT32. Message: MeasurementBundle, field ID: 3"},
        {[b] { APMPBSetInt32(b, 37, 1); }, "INT32. Message: MeasurementBundle, field ID: 37"},
        {[b] { EXPECT_EQ(APMPBGetInt64(b, 0), 0); },
         "INT64. Message: MeasurementBundle, field ID: 0"},
        {[b] { APMPBSetInt64(b, 8, 1); }, "INT64. Message: MeasurementBundle, field ID: 8"},
        {[b] { EXPECT_EQ(APMPBGetFloat(b, 3), 0); },
         "FLOAT. Message: MeasurementBundle, field ID: 3"},
        {[b] { APMPBSetDouble(b, 3, 1); }, "DOUBLE. Message: MeasurementBundle, field ID: 3"},
        {[b] { EXPECT_FALSE(APMPBGetString(b, 1)); },
         "STRING. Message: MeasurementBundle, field ID: 1"},
        {[b] { APMPBSetString(b, 0, "x"); }, "STRING. Message: MeasurementBundle, field ID: 0"},
        {[b] { EXPECT_FALSE(APMPBGetMessage(b, 1, APMPBEvent::classObject())); },
         "MESSAGE. Message: MeasurementBundle, field ID: 1"},
        {[b] { APMPBSetMessage(b, 8, nullptr); },
         "MESSAGE. Message: MeasurementBundle, field ID: 8"},
        // Bytes go only into singular string or bytes fields: a message or
        // repeated slot holds a record or a container, not a string cell.
        {[b] { APMPBSetBytes(b, 45, Value(Data{1})); },
         "BYTES. Message: MeasurementBundle, field ID: 45"},
        {[b] { APMPBSetBytes(b, 1, Value(Data{1})); },
         "BYTES. Message: MeasurementBundle, field ID: 1"},
        {[b] { EXPECT_FALSE(APMPBGetBytes(b, 37)); },
         "BYTES. Message: MeasurementBundle, field ID: 37"},
    };
    for (const auto& c : cases) {
        Lines lines;
        c.call();
        ASSERT_EQ(lines.all().size(), 1u) << c.text;
        EXPECT_EQ(lines.all()[0], "<Nano/Failure> Field type isn't a scalar " + c.text);
    }
    {
        Lines lines;
        EXPECT_FALSE(APMPBGetArray(b, 0, kAPMPBNumberClass));
        APMPBSetArray(b, 8, {Value(1)});
        EXPECT_EQ(lines.all(),
                  (std::vector<std::string>{"<Nano/Failure> Field type isn't REPEATED. Message: "
                                            "MeasurementBundle, field ID: 0",
                                            "<Nano/Failure> Field type isn't REPEATED. Message: "
                                            "MeasurementBundle, field ID: 8"}));
    }
    // None of that changed the message.
    EXPECT_EQ(*bundle->protoBuffer(), Data{});
    EXPECT_EQ(container(bundle->messageInfo(), 1)->count, 0u);
    EXPECT_EQ(bundle->messageInfo()->fields[45], nullptr);
}

TEST(MeasurementMessage, UnknownFieldIDsAreRefused) {
    auto flag = APMPBFlag::make();
    Lines lines;
    for (std::int32_t id : {5, -1, 1000}) {
        APMPBSetInt64(flag.get(), id, 1);
        EXPECT_FALSE(APMPBHasField(flag.get(), id));
        EXPECT_EQ(APMPBGetInt64(flag.get(), id), 0);
        APMPBClearField(flag.get(), id);
        EXPECT_TRUE(lines.has("<Nano/Failure> Unknown field. Message: Flag, field ID: " +
                              std::to_string(id)));
    }
    EXPECT_EQ(*flag->protoBuffer(), Data{});
}

TEST(MeasurementMessage, MissingWrapperNamesTheOperation) {
    struct Case {
        std::function<void()> call;
        std::string word;
    };
    const std::vector<Case> cases = {
        {[] { APMPBClearField(nullptr, 0); }, "ClearField"},
        {[] { APMPBGetBool(nullptr, 0); }, "GetBool"},
        {[] { APMPBSetBool(nullptr, 0, true); }, "SetBool"},
        {[] { APMPBGetInt32(nullptr, 0); }, "GetInt32"},
        {[] { APMPBSetInt32(nullptr, 0, 1); }, "SetInt32"},
        {[] { APMPBGetInt64(nullptr, 0); }, "GetInt64"},
        {[] { APMPBSetInt64(nullptr, 0, 1); }, "SetInt64"},
        {[] { APMPBGetFloat(nullptr, 0); }, "GetFloat"},
        {[] { APMPBSetFloat(nullptr, 0, 1); }, "SetFloat"},
        {[] { APMPBGetDouble(nullptr, 0); }, "GetDouble"},
        {[] { APMPBSetDouble(nullptr, 0, 1); }, "SetDouble"},
        {[] { APMPBGetString(nullptr, 0); }, "GetString"},
        {[] { APMPBSetString(nullptr, 0, "x"); }, "SetString"},
        {[] { APMPBGetBytes(nullptr, 0); }, "GetBytes"},
        {[] { APMPBSetBytes(nullptr, 0, Value(Data{})); }, "SetBytes"},
        {[] { APMPBGetMessage(nullptr, 0, APMPBFlag::classObject()); }, "GetMessage"},
        {[] { APMPBSetMessage(nullptr, 0, nullptr); }, "SetMessage"},
        {[] { APMPBGetArray(nullptr, 0, kAPMPBNumberClass); }, "GetArray"},
        {[] { APMPBSetArray(nullptr, 0, nullptr); }, "SetArray"},
    };
    for (const auto& c : cases) {
        Lines lines;
        c.call();
        EXPECT_EQ(lines.all(), std::vector<std::string>{"ProtocolBuffer message hasn't been "
                                                        "initialized. " +
                                                        c.word + " can't be performed"});
    }
    Lines lines;
    EXPECT_FALSE(APMPBHasField(nullptr, 0));
    EXPECT_TRUE(
        lines.has("ProtocolBuffer message hasn't been initialized. HasField operation "
                  "can't be performed. Message name (null)"));
}

TEST(MeasurementMessage, StringsEmptyNilAndWrongKind) {
    auto setting = APMPBSetting::make();
    APMPBSetString(setting.get(), 0, "name");
    APMPBSetString(setting.get(), 1, "");
    EXPECT_EQ(APMPBGetString(setting.get(), 1), std::optional<std::string>(""));
    const auto bytes = setting->protoBuffer();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, (Data{0x0a, 4, 'n', 'a', 'm', 'e', 0x12, 0x00}));
    auto back = APMPBSetting::initWithBuffer(*bytes);
    ASSERT_TRUE(back);
    EXPECT_TRUE(APMPBHasField(back.get(), 1));
    EXPECT_EQ(APMPBGetString(back.get(), 1), std::optional<std::string>(""));
    EXPECT_EQ(back->protoBuffer(), bytes);

    // A value of the wrong kind is refused and leaves the field as it was.
    Lines lines;
    APMPBSetString(setting.get(), 0, Value(7));
    EXPECT_TRUE(
        lines.has("<ERROR> Invalid object type. String fields expect NSString. Type: NSNumber"));
    EXPECT_EQ(APMPBGetString(setting.get(), 0), std::optional<std::string>("name"));
    EXPECT_EQ(setting->protoBuffer(), bytes);
    APMPBSetString(setting.get(), 1, Value(Data{1}));
    EXPECT_EQ(setting->protoBuffer(), bytes);

    APMPBSetString(setting.get(), 0, Value());
    EXPECT_FALSE(APMPBHasField(setting.get(), 0));
    EXPECT_FALSE(APMPBGetString(setting.get(), 0));

    // Bytes that are not UTF-8 read as no string; the bytes stay readable.
    APMPBSetBytes(setting.get(), 0, Value(Data{0xff, 0xfe}));
    EXPECT_TRUE(APMPBHasField(setting.get(), 0));
    EXPECT_FALSE(APMPBGetString(setting.get(), 0));
    EXPECT_EQ(APMPBGetBytes(setting.get(), 0), std::optional<Data>(Data{0xff, 0xfe}));
}

TEST(MeasurementMessage, BytesEmptyNilAndWrongKind) {
    auto setting = APMPBSetting::make();
    APMPBSetBytes(setting.get(), 1, Value(Data{}));
    EXPECT_EQ(APMPBGetBytes(setting.get(), 1), std::optional<Data>(Data{}));
    EXPECT_EQ(setting->protoBuffer(), std::optional<Data>(Data{0x12, 0x00}));

    Lines lines;
    APMPBSetBytes(setting.get(), 1, Value("text"));
    EXPECT_TRUE(
        lines.has("<ERROR> Invalid object type. Bytes fields expect NSData. Type: NSString"));
    EXPECT_EQ(setting->protoBuffer(), std::optional<Data>(Data{0x12, 0x00}));
    APMPBSetBytes(setting.get(), 1, Value());
    EXPECT_FALSE(APMPBHasField(setting.get(), 1));
}

TEST(MeasurementMessage, SetArrayStopsAtTheFirstWrongElement) {
    struct Case {
        std::function<std::shared_ptr<APMPBMessage>()> make;
        std::int32_t field;
        std::vector<APMPBObject> good;
        APMPBObject bad;
        std::string text;
    };
    const std::vector<Case> cases = {
        {[] { return APMPBStringFilter::make(); },
         3,
         {Value("a"), Value("b")},
         Value(1),
         "<ERROR> Invalid object type. String fields expect NSString. Type: NSNumber"},
        {[] { return APMPBMeasurementBundle::make(); },
         37,
         {Value(1)},
         Value("1"),
         "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: NSString"},
        {[] { return APMPBResultData::make(); },
         0,
         {Value(1)},
         Value(Data{}),
         "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: NSData"},
        {[] { return APMPBSequenceFilterResultTimestamp::make(); },
         1,
         {Value(2)},
         Value(),
         "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: NSNull"},
        {[] { return APMPBEvent::make(); },
         0,
         {APMPBEventParam::make()},
         Value("p"),
         "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: NSString"},
        // A message of another type would be read with the wrong field table.
        {[] { return APMPBEvent::make(); },
         0,
         {APMPBEventParam::make()},
         APMPBFlag::make(),
         "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: APMPBFlag"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto message = c.make();
        APMPBSetArray(message.get(), c.field, c.good);
        EXPECT_EQ(APMPBGetArray(message.get(), c.field, APMPBEventParam::classObject())->size(),
                  c.good.size());
        std::vector<APMPBObject> mixed = c.good;
        mixed.push_back(c.bad);
        mixed.push_back(c.good[0]);
        Lines lines;
        APMPBSetArray(message.get(), c.field, mixed);
        EXPECT_EQ(lines.all(), std::vector<std::string>{c.text});
        EXPECT_TRUE(APMPBGetArray(message.get(), c.field, APMPBEventParam::classObject())->empty());
        EXPECT_EQ(container(message->messageInfo(), c.field)->count, 0u);
        EXPECT_EQ(message->protoBuffer(), std::optional<Data>(Data{}));
    }
}

TEST(MeasurementMessage, ArraysKeepOrderAndOwnCopies) {
    auto filter = APMPBStringFilter::make();
    std::string source = "first";
    APMPBSetArray(filter.get(), 3, {Value(source), Value("second"), Value("")});
    source = "changed";
    EXPECT_EQ(expressions(*filter), (std::vector<std::string>{"first", "second", ""}));
    auto back = APMPBStringFilter::initWithBuffer(*filter->protoBuffer());
    ASSERT_TRUE(back);
    EXPECT_EQ(expressions(*back), (std::vector<std::string>{"first", "second", ""}));

    APMPBSetArray(filter.get(), 3, nullptr);
    EXPECT_TRUE(expressions(*filter).empty());
    EXPECT_TRUE(APMPBHasField(filter.get(), 3));

    // Message elements come back as wrappers of the given class; a class
    // that cannot wrap a record gives none.
    auto event = APMPBEvent::make();
    auto param = APMPBEventParam::make();
    APMPBSetString(param.get(), 0, "p");
    APMPBSetArray(event.get(), 0, {param, param});
    auto params = *APMPBGetArray(event.get(), 0, APMPBEventParam::classObject());
    ASSERT_EQ(params.size(), 2u);
    EXPECT_EQ(params[0].message()->className(), "APMPBEventParam");
    Lines lines;
    EXPECT_TRUE(APMPBGetArray(event.get(), 0, kAPMPBStringClass)->empty());
    EXPECT_TRUE(
        lines.has("<ERROR> Provided class doesn't implement initWithMessageInfo: method. "
                  "Class: NSString"));
}

TEST(MeasurementMessage, SubMessagesAreCopies) {
    auto filter = APMPBFilter::make();
    auto number = APMPBNumberFilter::make();
    APMPBSetString(number.get(), 2, "10");
    APMPBSetMessage(filter.get(), 1, number.get());
    APMPBSetString(number.get(), 2, "20");  // the parent holds its own copy

    auto read = APMPBGetMessage<APMPBNumberFilter>(filter.get(), 1);
    ASSERT_TRUE(read);
    EXPECT_EQ(APMPBGetString(read.get(), 2), std::optional<std::string>("10"));
    APMPBSetString(read.get(), 2, "30");
    EXPECT_EQ(APMPBGetString(APMPBGetMessage<APMPBNumberFilter>(filter.get(), 1).get(), 2),
              std::optional<std::string>("10"));
    APMPBSetMessage(filter.get(), 1, read.get());
    EXPECT_EQ(APMPBGetString(APMPBGetMessage<APMPBNumberFilter>(filter.get(), 1).get(), 2),
              std::optional<std::string>("30"));

    Lines lines;
    // A message of another type is refused and leaves the field as it was.
    APMPBSetMessage(filter.get(), 1, APMPBStringFilter::make().get());
    EXPECT_TRUE(
        lines.has("<ERROR> Invalid object type. Message fields expect NumberFilter. Type: "
                  "APMPBStringFilter"));
    EXPECT_EQ(APMPBGetString(APMPBGetMessage<APMPBNumberFilter>(filter.get(), 1).get(), 2),
              std::optional<std::string>("30"));
    EXPECT_TRUE(APMPBFilter::initWithBuffer(*filter->protoBuffer()));

    EXPECT_FALSE(APMPBGetMessage(filter.get(), 1, kAPMPBNumberClass));
    EXPECT_TRUE(
        lines.has("<ERROR> Provided class doesn't implement initWithMessageInfo: method. "
                  "Class: NSNumber"));
    EXPECT_FALSE(APMPBGetMessage(filter.get(), 0, APMPBStringFilter::classObject()));  // absent

    APMPBSetMessage(filter.get(), 1, nullptr);
    EXPECT_FALSE(APMPBHasField(filter.get(), 1));
}

TEST(MeasurementMessage, WrappersOverRecordsAndBuffers) {
    auto config = APMPBMeasurementConfig::make();
    EXPECT_STREQ(config->messageID(), "MeasurementConfig");
    EXPECT_EQ(config->className(), "APMPBMeasurementConfig");
    EXPECT_EQ(config->initMessageInfoFn(), &MeasurementConfig_InitMessageInfo);
    EXPECT_EQ(config->deallocMessageFieldFn(), &MeasurementConfig_DeallocField);
    EXPECT_EQ(config->copyMessageInfoFn(), &MeasurementConfig_CopyMessageInfo);

    APMPBSetInt64(config.get(), 0, 12);
    auto copy = APMPBMeasurementConfig::initWithMessageInfo(config->messageInfo());
    ASSERT_TRUE(copy);
    EXPECT_NE(copy->messageInfo(), config->messageInfo());
    EXPECT_EQ(APMPBGetInt64(copy.get(), 0), 12);
    EXPECT_FALSE(APMPBSetting::initWithMessageInfo(config->messageInfo()));  // another message

    const Data none;
    for (const Data* buffer : {static_cast<const Data*>(nullptr), &none}) {
        auto empty = APMPBMeasurementConfig::initWithBuffer(buffer);
        ASSERT_TRUE(empty);
        EXPECT_FALSE(APMPBHasField(empty.get(), 0));
        EXPECT_TRUE(APMPBGetArray(empty.get(), 3, APMPBSetting::classObject())->empty());
    }
    Lines lines;
    EXPECT_FALSE(APMPBMeasurementConfig::initWithBuffer(Data{0x0a, 0x05, 'a'}));
}

TEST(MeasurementMessage, ExperimentResponseWithoutSdkResponses) {
    auto response = APMPBExperimentResponse::initWithBuffer(Data{0x0a, 0x03, 0x0a, 0x01, 's'});
    ASSERT_TRUE(response);
    auto responses = APMPBGetArray(response.get(), 1, APMPBSdkResponse::classObject());
    ASSERT_TRUE(responses);
    EXPECT_TRUE(responses->empty());
    auto snapshots = *APMPBGetArray(response.get(), 0, APMPBSnapshot::classObject());
    ASSERT_EQ(snapshots.size(), 1u);
    EXPECT_EQ(APMPBGetString(snapshots[0].message().get(), 0), std::optional<std::string>("s"));
}
