#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/foundation/JSON.h"
#include "services/remoteconfig/RCNFetchAnswer.h"

namespace {

std::optional<RCNFetchAnswer> parse(const std::string& body, std::string* error = nullptr) {
    return RCNFetchAnswer::parse(Data(body.begin(), body.end()), error);
}

// The entries as texts, the later of a key given twice.
std::map<std::string, std::string> texts(const RCNFetchAnswer& answer) {
    std::map<std::string, std::string> out;
    for (const auto& [key, value] : answer.entries) {
        EXPECT_EQ(value->source(), DIROdadevOveredSource::Remote) << key;
        out[key] = value->stringValue().value_or("<bytes>");
    }
    return out;
}

Value json(const std::string& text) {
    return NSJSONSerialization::JSONObjectWithData(Data(text.begin(), text.end()), nullptr, true)
        .value_or(Value());
}

TEST(FetchAnswer, BodiesThatAreNoObjectGiveNoAnswerAndSayWhy) {
    struct Case {
        const char* body;
        const char* error;
    };
    const std::string unreadable =
        "The data couldn't be read because it isn't in the correct "
        "format.";
    const std::string notObject = "The answer is not a JSON object.";
    const Case cases[] = {
        {"", unreadable.c_str()},
        {R"({"state": "UPDATE", "entries": {"a": "1")", unreadable.c_str()},
        {R"({"state": "UPDATE"} {})", unreadable.c_str()},
        {"{\"entries\": {\"a\": \"\xff\"}}", unreadable.c_str()},
        {R"(["state", "UPDATE"])", notObject.c_str()},
        {R"("UPDATE")", notObject.c_str()},
        {"12", notObject.c_str()},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(parse(c.body, &error)) << c.body;
        EXPECT_EQ(error, c.error) << c.body;
    }
}

TEST(FetchAnswer, EntriesOfTheWrongShapeAreRefusedWhole) {
    struct Case {
        const char* body;
        const char* reason;
    };
    const Case cases[] = {
        {R"({"state": "UPDATE", "entries": "a=1"})", "the entries are not an object"},
        {R"({"state": "UPDATE", "entries": ["a", "1"]})", "the entries are not an object"},
        {R"({"state": "UPDATE", "entries": null})", "the entries are not an object"},
        {R"({"state": "UPDATE", "entries": {"a": "1", "b": 2, "c": "3"}})",
         "the value of b is not a text"},
        {R"({"state": "UPDATE", "entries": {"a": "1", "b": {"c": "3"}}})",
         "the value of b is not a text"},
        {R"({"state": "UPDATE", "entries": {"a": ["1"], "b": "2"}})",
         "the value of a is not a text"},
        {R"({"state": "UPDATE", "entries": {"a": null}})", "the value of a is not a text"},
        {R"({"state": "UPDATE", "entries": {"a": true}})", "the value of a is not a text"},
        // Of "entries" given twice the later counts, a wrong one too.
        {R"({"state": "UPDATE", "entries": {"a": "1"}, "entries": 7})",
         "the entries are not an object"},
    };
    for (const Case& c : cases) {
        auto answer = parse(c.body);
        ASSERT_TRUE(answer) << c.body;
        EXPECT_EQ(answer->invalidEntries, c.reason) << c.body;
        EXPECT_EQ(answer->invalidUpdate(), c.reason) << c.body;
        EXPECT_TRUE(answer->entries.empty()) << c.body;
        EXPECT_EQ(answer->fields["entries"], Value(true)) << c.body;
    }
    // Only an update is taken as content: other states need no entries.
    auto unchanged = parse(R"({"state": "NO_CHANGE", "entries": 3})");
    ASSERT_TRUE(unchanged);
    EXPECT_TRUE(unchanged->invalidEntries);
    EXPECT_FALSE(unchanged->invalidUpdate());
}

TEST(FetchAnswer, EntriesAreTakenInOrderAndTheOtherFieldsAsValues) {
    auto answer = parse(R"({
        "entries": {"a": "1", "b": "two", "a": "3", "empty": "", "text": "\u00e9\n"},
        "state": "UPDATE",
        "templateVersion": 12,
        "big": 18446744073709551615,
        "ratio": 0.5,
        "flag": false,
        "nothing": null,
        "personalizationMetadata": {"a": {"choiceId": "c", "armIndex": 1}},
        "experimentDescriptions": [{"id": "x", "list": [1, [2, {"deep": null}]]}],
        "entries": {"b": "2", "c": "3", "b": "4"}
    })");
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->invalidUpdate());
    // The later "entries" replaces the earlier; of "b" twice the later counts.
    EXPECT_EQ(texts(*answer), (std::map<std::string, std::string>{{"b", "4"}, {"c", "3"}}));
    ASSERT_EQ(answer->entries.size(), 3u);
    EXPECT_EQ(answer->entries[0].first, "b");
    EXPECT_EQ(answer->entries[2].first, "b");

    const Dictionary& fields = answer->fields;
    EXPECT_EQ(fields["state"], Value("UPDATE"));
    EXPECT_EQ(fields["templateVersion"], json("12"));
    EXPECT_EQ(fields["big"], json("18446744073709551615"));
    EXPECT_EQ(fields["ratio"], Value(0.5));
    EXPECT_EQ(fields["flag"], Value(false));
    EXPECT_TRUE(fields.contains("nothing"));
    EXPECT_EQ(fields["nothing"], Value());
    EXPECT_EQ(fields["personalizationMetadata"],
              json(R"({"a": {"choiceId": "c", "armIndex": 1}})"));
    EXPECT_EQ(fields["experimentDescriptions"],
              json(R"([{"id": "x", "list": [1, [2, {"deep": null}]]}])"));
    EXPECT_EQ(fields.size(), 9u);

    auto mixed = parse(R"({"state": "UPDATE", "entries": {"a": "1", "b": "2", "c": "3"}})");
    ASSERT_TRUE(mixed);
    EXPECT_EQ(texts(*mixed),
              (std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}, {"c", "3"}}));
    EXPECT_EQ(mixed->entries[0].first, "a");
}

TEST(FetchAnswer, AFieldNestedTooDeepIsNullAndTheRestIsRead) {
    const int levels = 100000;
    std::string body = R"({"state": "UPDATE", "experimentDescriptions": )";
    body += std::string(levels, '[') + std::string(levels, ']');
    body += R"(, "nested": )" + std::string(512, '[') + std::string(512, ']');
    body += R"(, "entries": {"a": "1"}})";
    auto answer = parse(body);
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->fields.contains("experimentDescriptions"));
    EXPECT_EQ(answer->fields["experimentDescriptions"], Value());
    EXPECT_NE(answer->fields["nested"], Value());
    EXPECT_EQ(texts(*answer), (std::map<std::string, std::string>{{"a", "1"}}));
}

}  // namespace
