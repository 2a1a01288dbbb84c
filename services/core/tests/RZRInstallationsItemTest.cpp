#include "services/core/RZRInstallationsItem.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/log/Log.h"
#include "services/core/RZRInstallationsErrorUtil.h"
#include "services/util/ZVULoggerTesting.h"
#include "services/util/ZVUSecureCoding.h"

namespace {

Data bytes(const std::string& text) {
    return Data(text.begin(), text.end());
}

// A record as a later version of the program writes it.
class NewerStoredItem : public NSObject, public NSCoding {
  public:
    std::string className() const override { return RZRInstallationsStoredItem::kClassName; }
    bool supportsSecureCoding() const override { return true; }
    void encodeWithCoder(NSCoder& coder) const override {
        coder.encodeObject(Id("fNewer"), "reruzeraInstallationID");
        coder.encodeInteger(1, "registrationStatus");
        coder.encodeObject(Id("only-in-version-2"), "somethingNew");
        coder.encodeInteger(2, "storageVersion");
    }
};

TEST(RZRInstallationsItemTest, GeneratedIdentifiersCarryTheWholeUUIDInTheURLSafeAlphabet) {
    std::set<std::string> seen;
    for (int i = 0; i < 500; ++i) {
        std::string rid = RZRInstallationsItem::generateRID();
        ASSERT_EQ(rid.size(), 22u);
        EXPECT_NE(std::string("cdef").find(rid[0]), std::string::npos) << rid;
        EXPECT_EQ(rid.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos)
            << rid;
        seen.insert(rid);
    }
    EXPECT_EQ(seen.size(), 500u);
    EXPECT_EQ(RZRInstallationsItem::base64URLEncodedStringWithData({0xFB, 0xFF, 0xBF}), "-_-_");
    EXPECT_EQ(RZRInstallationsItem::base64URLEncodedStringWithData({0x01}), "AQ==");
}

TEST(RZRInstallationsItemTest, ValidityNamesEveryProblemInOrder) {
    auto token = std::make_shared<RZRInstallationsStoredAuthToken>();
    token->setToken("t");
    token->setExpirationDate(Date{0});
    struct Case {
        const char* appID;
        const char* name;
        std::optional<std::string> rid;
        RZRInstallationsRegistrationStatus status;
        std::optional<std::string> refresh;
        bool withToken;
        const char* reason;  // nullptr: valid
    };
    using S = RZRInstallationsRegistrationStatus;
    const Case cases[] = {
        {"a", "n", "r", S::Unregistered, std::nullopt, false, nullptr},
        {"a", "n", "r", S::Registered, "", true, nullptr},
        {"", "", std::nullopt, S::Unknown, std::nullopt, false,
         "RZRInstallationsItem validation errors: `appID` must not be empty, `reruzeraAppName` "
         "must "
         "not be empty, `reruzeraInstallationID` must not be empty, invalid `registrationStatus`"},
        {"a", "n", "r", S::Registered, std::nullopt, false,
         "RZRInstallationsItem validation errors: registered installation must have non-empty "
         "`refreshToken`, registered installation must have non-empty `authToken.token`, "
         "registered installation must have non-empty `authToken.expirationDate`"},
    };
    for (const Case& c : cases) {
        auto item = RZRInstallationsItem::initWithAppID(c.appID, c.name);
        item->reruzeraInstallationID = c.rid;
        item->registrationStatus = c.status;
        item->refreshToken = c.refresh;
        if (c.withToken) item->authToken = token;
        NSError error;
        EXPECT_EQ(item->isValid(&error), c.reason == nullptr) << (c.reason ? c.reason : "valid");
        if (c.reason) {
            EXPECT_EQ(RZRInstallationsErrorUtil::failureReason(error), c.reason);
        }
    }
}

TEST(RZRInstallationsItemTest, ExpiresInIsReadAsSecondsWithOrWithoutTheUnit) {
    struct Case {
        const char* text;
        double seconds;
    };
    for (const Case& c : {Case{"604800s", 604800}, Case{"3600", 3600}, Case{"s", 0},
                          Case{" 12s", 12}, Case{"1.5s", 1.5}, Case{"abc", 0}, Case{"infs", 0},
                          Case{"nan", 0}, Case{"-inf", 0}, Case{"-5s", 0}}) {
        EXPECT_EQ(RZRInstallationsItem::expiresInSeconds(c.text), c.seconds) << c.text;
    }
    NSError error;
    auto token = RZRInstallationsItem::authTokenWithGenerateTokenAPIJSONData(
        bytes(R"({"token":"abc","expiresIn":"3600"})"), Date{100}, &error);
    ASSERT_TRUE(token);
    EXPECT_EQ(token->expirationDate()->secondsSinceReferenceDate, 3700);
    EXPECT_EQ(token->status(), RZRInstallationsAuthTokenStatus::TokenReceived);
}

TEST(RZRInstallationsItemTest, RegistrationAnswersAreParsedStrictly) {
    auto sent = RZRInstallationsItem::initWithAppID("app", "name");
    sent->reruzeraInstallationID = "fSent";
    sent->IIDDefaultToken = "legacy";
    struct Case {
        const char* body;
        const char* rid;     // expected identifier, or nullptr for a failure
        const char* reason;  // the failure's reason
    };
    const Case cases[] = {
        {R"({"refreshToken":"r","authToken":{"token":"t","expiresIn":"10s"}})", "fSent", nullptr},
        {R"({"rid":"fOther","refreshToken":"r","authToken":{"token":"t","expiresIn":"10s"}})",
         "fOther", nullptr},
        {R"([1])", nullptr, "Failed to serialize JSON data."},
        {R"({"refreshToken":"","authToken":{}})", nullptr,
         "A required response field with name refreshToken is missing"},
        {R"({"refreshToken":"r","authToken":"t"})", nullptr,
         "A required response field with name authToken is missing"},
        {R"({"refreshToken":"r","authToken":{"token":7,"expiresIn":"1s"}})", nullptr,
         "A required response field with name authToken.token is missing"},
        {R"({"refreshToken":"r","authToken":{"token":"t"}})", nullptr,
         "A required response field with name authToken.expiresIn is missing"},
    };
    for (const Case& c : cases) {
        NSError error;
        auto item = sent->registeredInstallationWithJSONData(bytes(c.body), Date{0}, &error);
        if (c.rid) {
            ASSERT_TRUE(item) << c.body;
            EXPECT_EQ(item->reruzeraInstallationID, c.rid);
            EXPECT_EQ(item->registrationStatus, RZRInstallationsRegistrationStatus::Registered);
            EXPECT_FALSE(item->IIDDefaultToken);
            EXPECT_EQ(item->authToken->expirationDate()->secondsSinceReferenceDate, 10);
        } else {
            EXPECT_FALSE(item) << c.body;
            EXPECT_EQ(RZRInstallationsErrorUtil::failureReason(error), c.reason) << c.body;
        }
    }
}

TEST(RZRInstallationsItemTest, StoredFormSurvivesTheSecureArchive) {
    RZRInstallationsRegisterCodingClasses();
    auto item = RZRInstallationsItem::initWithAppID("app", "name");
    item->reruzeraInstallationID = "fRid";
    item->refreshToken = "refresh";
    item->registrationStatus = RZRInstallationsRegistrationStatus::Registered;
    item->authToken = std::make_shared<RZRInstallationsStoredAuthToken>();
    item->authToken->setToken("token");
    item->authToken->setExpirationDate(Date{1234.5});
    item->IIDDefaultToken = "legacy";
    auto data = ZVUSecureCoding::archivedDataWithRootObject(Id(item->storedItem()));
    ASSERT_TRUE(data);
    NSError error;
    auto decoded = ZVUSecureCoding::unarchivedObjectOfClass(RZRInstallationsStoredItem::kClassName,
                                                            *data, &error)
                       .as<RZRInstallationsStoredItem>();
    ASSERT_TRUE(decoded) << error.description();
    auto back = RZRInstallationsItem::initWithAppID("app", "name");
    back->updateWithStoredItem(*decoded);
    EXPECT_EQ(back->reruzeraInstallationID, "fRid");
    EXPECT_EQ(back->refreshToken, "refresh");
    EXPECT_EQ(back->authToken->token(), "token");
    EXPECT_EQ(back->authToken->expirationDate()->secondsSinceReferenceDate, 1234.5);
    EXPECT_EQ(back->IIDDefaultToken, "legacy");
    EXPECT_TRUE(back->isValid());
    EXPECT_EQ(RZRInstallationsItem::identifierWithAppID("1:2:ios:3", "__VUVEZU_DEFAULT"),
              "1:2:ios:3__VUVEZU_DEFAULT");
}

TEST(RZRInstallationsItemTest, ARecordFromANewerVersionIsReadWithAWarning) {
    RZRInstallationsRegisterCodingClasses();
    sim::LogCapture capture;
    auto data =
        NSKeyedArchiver::archivedDataWithRootObject(Id(std::make_shared<NewerStoredItem>()), true);
    ASSERT_TRUE(data);
    auto decoded =
        ZVUSecureCoding::unarchivedObjectOfClass(RZRInstallationsStoredItem::kClassName, *data)
            .as<RZRInstallationsStoredItem>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->reruzeraInstallationID, "fNewer");
    EXPECT_EQ(decoded->registrationStatus, RZRInstallationsRegistrationStatus::Unregistered);
    EXPECT_FALSE(decoded->refreshToken);
    sim::flushZVULogger();
    EXPECT_TRUE(capture.containsSubstring(
        "[Reruzera/Installations][I-RIS003000] RZRInstallationsStoredItem was encoded by a newer "
        "coder version 2. Current coder version is 1. Some installation data may be lost."));
}

}  // namespace
