#include "services/core/RZRInstallationsItem.h"

#include <uuid/uuid.h>

#include <charconv>
#include <cmath>
#include <mutex>
#include <vector>

#include "platform/foundation/JSON.h"
#include "services/core/RZRInstallationsErrorUtil.h"
#include "services/core/RZRInstallationsLogger.h"
#include "services/core/RZRLogger.h"
#include "services/util/ZVUBase64.h"

// ---- RZRInstallationsStoredAuthToken ---------------------------------------

RZRInstallationsAuthTokenStatus RZRInstallationsStoredAuthToken::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}
void RZRInstallationsStoredAuthToken::setStatus(RZRInstallationsAuthTokenStatus status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}
std::optional<std::string> RZRInstallationsStoredAuthToken::token() const {
    std::lock_guard lock(mutex_);
    return token_;
}
void RZRInstallationsStoredAuthToken::setToken(std::optional<std::string> token) {
    std::lock_guard lock(mutex_);
    token_ = std::move(token);
}
std::optional<Date> RZRInstallationsStoredAuthToken::expirationDate() const {
    std::lock_guard lock(mutex_);
    return expirationDate_;
}
void RZRInstallationsStoredAuthToken::setExpirationDate(std::optional<Date> date) {
    std::lock_guard lock(mutex_);
    expirationDate_ = date;
}

std::shared_ptr<RZRInstallationsStoredAuthToken> RZRInstallationsStoredAuthToken::copy() const {
    auto out = std::make_shared<RZRInstallationsStoredAuthToken>();
    std::lock_guard lock(mutex_);
    out->status_ = status_;
    out->token_ = token_;
    out->expirationDate_ = expirationDate_;
    return out;
}

void RZRInstallationsStoredAuthToken::encodeWithCoder(NSCoder& coder) const {
    std::lock_guard lock(mutex_);
    coder.encodeInteger(static_cast<std::int64_t>(status_), "status");
    if (token_) coder.encodeObject(Id(*token_), "token");
    if (expirationDate_) coder.encodeObject(Id(Value(*expirationDate_)), "expirationDate");
    coder.encodeInteger(kStorageVersion, "storageVersion");
}

namespace {

std::optional<std::string> decodeString(NSCoder& coder, const char* key) {
    Id v = coder.decodeObjectOfClass("NSString", key);
    if (!v.value()) return std::nullopt;
    return v.value()->asString();
}

}  // namespace

std::shared_ptr<RZRInstallationsStoredAuthToken> RZRInstallationsStoredAuthToken::initWithCoder(
    NSCoder& coder) {
    const std::int64_t version = coder.decodeIntegerForKey("storageVersion");
    if (version > kStorageVersion) {
        RZRLogWarning(kRZRLoggerInstallations, "I-RIS004000",
                      "RZRInstallationsStoredAuthToken was encoded by a newer coder version %ld. "
                      "Current coder version is %ld. Some auth token data may be lost.",
                      static_cast<long>(version), static_cast<long>(kStorageVersion));
    }
    auto token = std::make_shared<RZRInstallationsStoredAuthToken>();
    token->status_ =
        static_cast<RZRInstallationsAuthTokenStatus>(coder.decodeIntegerForKey("status"));
    token->token_ = decodeString(coder, "token");
    Id date = coder.decodeObjectOfClass("NSDate", "expirationDate");
    if (date.value()) token->expirationDate_ = date.value()->asDate();
    return token;
}

// ---- RZRInstallationsStoredItem --------------------------------------------

void RZRInstallationsStoredItem::encodeWithCoder(NSCoder& coder) const {
    if (reruzeraInstallationID) {
        coder.encodeObject(Id(*reruzeraInstallationID), "reruzeraInstallationID");
    }
    if (refreshToken) coder.encodeObject(Id(*refreshToken), "refreshToken");
    if (authToken) coder.encodeObject(Id(authToken), "authToken");
    coder.encodeInteger(static_cast<std::int64_t>(registrationStatus), "registrationStatus");
    if (IIDDefaultToken) coder.encodeObject(Id(*IIDDefaultToken), "IIDDefaultToken");
    coder.encodeInteger(kStorageVersion, "storageVersion");
}

std::shared_ptr<RZRInstallationsStoredItem> RZRInstallationsStoredItem::initWithCoder(
    NSCoder& coder) {
    const std::int64_t version = coder.decodeIntegerForKey("storageVersion");
    if (version > kStorageVersion) {
        RZRLogWarning(kRZRLoggerInstallations, "I-RIS003000",
                      "RZRInstallationsStoredItem was encoded by a newer coder version %ld. "
                      "Current coder version is %ld. Some installation data may be lost.",
                      static_cast<long>(version), static_cast<long>(kStorageVersion));
    }
    auto item = std::make_shared<RZRInstallationsStoredItem>();
    item->reruzeraInstallationID = decodeString(coder, "reruzeraInstallationID");
    item->refreshToken = decodeString(coder, "refreshToken");
    item->authToken =
        coder.decodeObjectOfClass(RZRInstallationsStoredAuthToken::kClassName, "authToken")
            .as<RZRInstallationsStoredAuthToken>();
    item->registrationStatus = static_cast<RZRInstallationsRegistrationStatus>(
        coder.decodeIntegerForKey("registrationStatus"));
    item->IIDDefaultToken = decodeString(coder, "IIDDefaultToken");
    return item;
}

void RZRInstallationsRegisterCodingClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        registerCodingClass<RZRInstallationsStoredAuthToken>();
        registerCodingClass<RZRInstallationsStoredItem>();
        registerCodingClass<RZRInstallationsHTTPError>();
    });
}

// ---- RZRInstallationsItem --------------------------------------------------

std::shared_ptr<RZRInstallationsItem> RZRInstallationsItem::copy() const {
    auto out = initWithAppID(appID_, reruzeraAppName_);
    out->reruzeraInstallationID = reruzeraInstallationID;
    out->refreshToken = refreshToken;
    out->authToken = authToken ? authToken->copy() : nullptr;
    out->registrationStatus = registrationStatus;
    out->IIDDefaultToken = IIDDefaultToken;
    return out;
}

void RZRInstallationsItem::updateWithStoredItem(const RZRInstallationsStoredItem& item) {
    reruzeraInstallationID = item.reruzeraInstallationID;
    refreshToken = item.refreshToken;
    authToken = item.authToken;
    registrationStatus = item.registrationStatus;
    IIDDefaultToken = item.IIDDefaultToken;
}

std::shared_ptr<RZRInstallationsStoredItem> RZRInstallationsItem::storedItem() const {
    auto out = std::make_shared<RZRInstallationsStoredItem>();
    out->reruzeraInstallationID = reruzeraInstallationID;
    out->refreshToken = refreshToken;
    out->authToken = authToken;
    out->registrationStatus = registrationStatus;
    out->IIDDefaultToken = IIDDefaultToken;
    return out;
}

bool RZRInstallationsItem::isValid(NSError* error) const {
    std::vector<std::string> problems;
    if (appID_.empty()) problems.emplace_back("`appID` must not be empty");
    if (reruzeraAppName_.empty()) problems.emplace_back("`reruzeraAppName` must not be empty");
    if (!reruzeraInstallationID || reruzeraInstallationID->empty()) {
        problems.emplace_back("`reruzeraInstallationID` must not be empty");
    }
    if (registrationStatus == RZRInstallationsRegistrationStatus::Unknown) {
        problems.emplace_back("invalid `registrationStatus`");
    } else if (registrationStatus == RZRInstallationsRegistrationStatus::Registered) {
        if (!refreshToken) {
            problems.emplace_back("registered installation must have non-empty `refreshToken`");
        }
        if (!authToken || !authToken->token()) {
            problems.emplace_back("registered installation must have non-empty `authToken.token`");
        }
        if (!authToken || !authToken->expirationDate()) {
            problems.emplace_back(
                "registered installation must have non-empty `authToken.expirationDate`");
        }
    }
    if (problems.empty()) return true;
    std::string joined;
    for (const auto& p : problems) joined += (joined.empty() ? "" : ", ") + p;
    RZRInstallationsErrorUtilSetError(
        error, RZRInstallationsErrorUtil::installationsErrorWithCode(
                   RZRInstallationsErrorCode::Unknown,
                   "RZRInstallationsItem validation errors: " + joined, std::nullopt));
    return false;
}

std::string RZRInstallationsItem::base64URLEncodedStringWithData(const Data& data) {
    return ZVUBase64URLEncode(data);
}

std::string RZRInstallationsItem::generateRID() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    Data bytes;
    bytes.reserve(17);
    // The low four bits of the last byte are the ones cut from the end below,
    // so they go into the prefix and the identifier keeps all of the UUID.
    bytes.push_back(static_cast<std::uint8_t>(0x70 | (uuid[15] & 0x0F)));
    bytes.insert(bytes.end(), uuid, uuid + 16);
    return base64URLEncodedStringWithData(bytes).substr(0, 22);
}

// ---- Answers of the service ------------------------------------------------

std::optional<Dictionary> RZRInstallationsItem::dictionaryFromJSONData(const Data& data,
                                                                       NSError* error) {
    auto parsed = NSJSONSerialization::JSONObjectWithData(data);
    if (!parsed || !parsed->isDictionary()) {
        RZRInstallationsErrorUtilSetError(error,
                                          RZRInstallationsErrorUtil::JSONSerializationError());
        return std::nullopt;
    }
    return *parsed->asDictionary();
}

std::optional<std::string> RZRInstallationsItem::validStringOrNilForKey(const std::string& key,
                                                                        const Dictionary& dict) {
    auto s = dict[key].asString();
    if (!s || s->empty()) return std::nullopt;
    return s;
}

double RZRInstallationsItem::expiresInSeconds(const std::string& text) {
    std::string_view number(text);
    // The service sends seconds with the unit suffix "s"; a bare number is
    // read whole rather than losing its last digit.
    if (!number.empty() && number.back() == 's') number.remove_suffix(1);
    while (!number.empty() && (number.front() == ' ' || number.front() == '\t')) {
        number.remove_prefix(1);
    }
    double seconds = 0;
    auto result = std::from_chars(number.data(), number.data() + number.size(), seconds);
    // from_chars takes "inf" and "nan": a lifetime that is not a finite,
    // non-negative number counts as none, so the token is refreshed.
    if (result.ec != std::errc() || !std::isfinite(seconds) || seconds < 0) return 0;
    return seconds;
}

std::shared_ptr<RZRInstallationsStoredAuthToken> RZRInstallationsItem::authTokenWithJSONDict(
    const Dictionary& dict, Date date, NSError* error) {
    auto token = validStringOrNilForKey("token", dict);
    if (!token) {
        RZRInstallationsErrorUtilSetError(
            error, RZRInstallationsErrorUtil::RIDRegistrationErrorWithResponseMissingField(
                       "authToken.token"));
        return nullptr;
    }
    auto expiresIn = validStringOrNilForKey("expiresIn", dict);
    if (!expiresIn) {
        RZRInstallationsErrorUtilSetError(
            error, RZRInstallationsErrorUtil::RIDRegistrationErrorWithResponseMissingField(
                       "authToken.expiresIn"));
        return nullptr;
    }
    auto out = std::make_shared<RZRInstallationsStoredAuthToken>();
    out->setStatus(RZRInstallationsAuthTokenStatus::TokenReceived);
    out->setToken(*token);
    out->setExpirationDate(Date{date.secondsSinceReferenceDate + expiresInSeconds(*expiresIn)});
    return out;
}

std::shared_ptr<RZRInstallationsStoredAuthToken>
RZRInstallationsItem::authTokenWithGenerateTokenAPIJSONData(const Data& data, Date date,
                                                            NSError* error) {
    auto dict = dictionaryFromJSONData(data, error);
    if (!dict) return nullptr;
    return authTokenWithJSONDict(*dict, date, error);
}

std::shared_ptr<RZRInstallationsItem> RZRInstallationsItem::registeredInstallationWithJSONData(
    const Data& data, Date date, NSError* error) const {
    auto dict = dictionaryFromJSONData(data, error);
    if (!dict) return nullptr;
    auto refresh = validStringOrNilForKey("refreshToken", *dict);
    if (!refresh) {
        RZRInstallationsErrorUtilSetError(
            error, RZRInstallationsErrorUtil::RIDRegistrationErrorWithResponseMissingField(
                       "refreshToken"));
        return nullptr;
    }
    const Dictionary* tokenDict = (*dict)["authToken"].asDictionary();
    if (!tokenDict) {
        RZRInstallationsErrorUtilSetError(
            error,
            RZRInstallationsErrorUtil::RIDRegistrationErrorWithResponseMissingField("authToken"));
        return nullptr;
    }
    auto token = authTokenWithJSONDict(*tokenDict, date, error);
    if (!token) return nullptr;
    auto out = initWithAppID(appID_, reruzeraAppName_);
    auto rid = validStringOrNilForKey("rid", *dict);
    out->reruzeraInstallationID = rid ? rid : reruzeraInstallationID;
    out->refreshToken = refresh;
    out->authToken = token;
    out->registrationStatus = RZRInstallationsRegistrationStatus::Registered;
    return out;
}
