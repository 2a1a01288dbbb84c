#include "services/core/RZRInstallationsErrorUtil.h"

#include "services/util/PRMPromise.h"
#include "services/util/ZVULogger.h"

namespace {

constexpr const char* kURLKey = "RZRInstallationsHTTPErrorURL";
constexpr const char* kStatusKey = "RZRInstallationsHTTPErrorStatusCode";
constexpr const char* kHeadersKey = "RZRInstallationsHTTPErrorHeaders";
constexpr const char* kDataKey = "RZRInstallationsHTTPErrorData";

bool isValidUTF8(const Data& data) {
    std::size_t i = 0;
    while (i < data.size()) {
        const unsigned char c = data[i];
        std::size_t extra = 0;
        if (c < 0x80) {
            extra = 0;
        } else if ((c >> 5) == 0x6) {
            extra = 1;
        } else if ((c >> 4) == 0xE) {
            extra = 2;
        } else if ((c >> 3) == 0x1E) {
            extra = 3;
        } else {
            return false;
        }
        if (data.size() - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((data[i + k] & 0xC0) != 0x80) return false;
        }
        i += extra + 1;
    }
    return true;
}

Value errorAsValue(const NSError& error) {
    Dictionary d;
    d.set("domain", Value(error.domain));
    d.set("code", Value(error.code));
    d.set("userInfo", Value(error.userInfo));
    return Value(std::move(d));
}

std::string failureReasonOf(const NSError& error) {
    if (auto s = error.userInfo[kRZRInstallationsFailureReasonKey].asString()) return *s;
    return "";
}

}  // namespace

// ---- RZRInstallationsHTTPError ---------------------------------------------

RZRInstallationsHTTPError::RZRInstallationsHTTPError(std::shared_ptr<NSHTTPURLResponse> response,
                                                     Data data)
    : response_(std::move(response)), data_(std::move(data)) {}

Dictionary RZRInstallationsHTTPError::userInfoWithHTTPResponse(const NSHTTPURLResponse& response,
                                                               const Data& data) {
    std::string body = isValidUTF8(data) ? std::string(data.begin(), data.end()) : "(null)";
    Dictionary info;
    info.set(kRZRInstallationsFailureReasonKey,
             Value(ZVUFormat("The server responded with an error: \n - URL: %@ \n - HTTP status "
                             "code: %ld \n - Response body: %@",
                             {response.URL().absoluteString(), response.statusCode(), body})));
    return info;
}

NSError RZRInstallationsHTTPError::error() const {
    Dictionary info;
    if (response_) {
        info = userInfoWithHTTPResponse(*response_, data_);
        info.set(kURLKey, Value(response_->URL().absoluteString()));
        info.set(kStatusKey, Value(static_cast<long long>(response_->statusCode())));
        Dictionary headers;
        for (const auto& [name, value] : response_->allHeaderFields()) headers.set(name, value);
        info.set(kHeadersKey, Value(std::move(headers)));
    }
    info.set(kDataKey, Value(data_));
    return NSError(kRZRInstallationsErrorDomain,
                   errorCodeWithHTTPCode(response_ ? response_->statusCode() : 0), std::move(info));
}

std::shared_ptr<RZRInstallationsHTTPError> RZRInstallationsHTTPError::fromError(
    const NSError& error) {
    if (error.domain != kRZRInstallationsErrorDomain) return nullptr;
    auto status = error.userInfo[kStatusKey].asInt();
    auto url = error.userInfo[kURLKey].asString();
    const Data* data = error.userInfo[kDataKey].asData();
    if (!status || !url || !data) return nullptr;
    auto parsed = NSURL::URLWithString(*url);
    if (!parsed) return nullptr;
    NSHTTPHeaders headers;
    if (const Dictionary* h = error.userInfo[kHeadersKey].asDictionary()) {
        for (const auto& [name, value] : *h) headers[name] = value.asString().value_or("");
    }
    return initWithHTTPResponse(
        std::make_shared<NSHTTPURLResponse>(*parsed, static_cast<long>(*status), headers), *data);
}

std::shared_ptr<RZRInstallationsHTTPError> RZRInstallationsHTTPError::copy() const {
    return initWithHTTPResponse(response_, data_);
}

void RZRInstallationsHTTPError::encodeWithCoder(NSCoder& coder) const {
    if (response_) {
        Dictionary response;
        response.set("URL", Value(response_->URL().absoluteString()));
        response.set("statusCode", Value(static_cast<long long>(response_->statusCode())));
        Dictionary headers;
        for (const auto& [name, value] : response_->allHeaderFields()) headers.set(name, value);
        response.set("headers", Value(std::move(headers)));
        coder.encodeObject(Id(Value(std::move(response))), "HTTPResponse");
    }
    coder.encodeObject(Id(Value(data_)), "data");
}

std::shared_ptr<RZRInstallationsHTTPError> RZRInstallationsHTTPError::initWithCoder(
    NSCoder& coder) {
    Id response = coder.decodeObjectOfClass("NSDictionary", "HTTPResponse");
    const Value* r = response.value();
    if (!r || !r->isDictionary()) return nullptr;
    auto url = NSURL::URLWithString((*r)["URL"].asString().value_or(""));
    auto status = (*r)["statusCode"].asInt();
    if (!url || !status) return nullptr;
    NSHTTPHeaders headers;
    if (const Dictionary* h = (*r)["headers"].asDictionary()) {
        for (const auto& [name, value] : *h) headers[name] = value.asString().value_or("");
    }
    Id data = coder.decodeObjectOfClass("NSData", "data");
    Data bytes;
    if (data.value() && data.value()->asData()) bytes = *data.value()->asData();
    return initWithHTTPResponse(
        std::make_shared<NSHTTPURLResponse>(*url, static_cast<long>(*status), headers), bytes);
}

// ---- RZRInstallationsErrorUtil ---------------------------------------------

NSError RZRInstallationsErrorUtil::installationsErrorWithCode(
    RZRInstallationsErrorCode code, const std::optional<std::string>& failureReason,
    const std::optional<NSError>& underlyingError) {
    Dictionary info;
    std::string reason;
    if (failureReason) {
        reason = *failureReason;
    } else {
        reason = "Underlying error: " + (underlyingError ? underlyingError->localizedDescription()
                                                         : std::string("(null)"));
    }
    info.set(kRZRInstallationsFailureReasonKey, Value(reason));
    if (underlyingError) info.set(NSError::NSUnderlyingErrorKey, errorAsValue(*underlyingError));
    return NSError(kRZRInstallationsErrorDomain, static_cast<long long>(code), std::move(info));
}

NSError RZRInstallationsErrorUtil::keyedArchiverErrorWithException(const NSException& exception) {
    return installationsErrorWithCode(
        RZRInstallationsErrorCode::Unknown,
        ZVUFormat("NSKeyedArchiver exception with name: %@, reason: %@, userInfo: %@",
                  {exception.name(), exception.reason(), Value(exception.userInfo())}),
        std::nullopt);
}

NSError RZRInstallationsErrorUtil::keyedArchiverErrorWithError(const NSError& error) {
    return installationsErrorWithCode(RZRInstallationsErrorCode::Unknown,
                                      std::string("NSKeyedArchiver error."), error);
}

NSError RZRInstallationsErrorUtil::keychainErrorWithFunction(const std::string& function,
                                                             std::int32_t status) {
    return installationsErrorWithCode(RZRInstallationsErrorCode::KeychainError,
                                      ZVUFormat("%@ (%li)", {function, static_cast<long>(status)}),
                                      std::nullopt);
}

NSError RZRInstallationsErrorUtil::installationItemNotFoundForAppID(const std::string& appID,
                                                                    const std::string& appName) {
    return installationsErrorWithCode(
        RZRInstallationsErrorCode::Unknown,
        ZVUFormat("Installation for appID %@ appName %@ not found", {appID, appName}),
        std::nullopt);
}

NSError RZRInstallationsErrorUtil::corruptedIIDTokenData() {
    return installationsErrorWithCode(
        RZRInstallationsErrorCode::Unknown,
        std::string("IID token data stored in Keychain is corrupted or in an incompatible format."),
        std::nullopt);
}

NSError RZRInstallationsErrorUtil::JSONSerializationError() {
    return installationsErrorWithCode(RZRInstallationsErrorCode::Unknown,
                                      std::string("Failed to serialize JSON data."), std::nullopt);
}

NSError RZRInstallationsErrorUtil::RIDRegistrationErrorWithResponseMissingField(
    const std::string& field) {
    return installationsErrorWithCode(
        RZRInstallationsErrorCode::Unknown,
        ZVUFormat("A required response field with name %@ is missing", {field}), std::nullopt);
}

NSError RZRInstallationsErrorUtil::networkErrorWithError(const NSError& error) {
    return installationsErrorWithCode(RZRInstallationsErrorCode::ServerUnreachable,
                                      std::string("Network connection error."), error);
}

NSError RZRInstallationsErrorUtil::backoffIntervalWaitError() {
    return installationsErrorWithCode(RZRInstallationsErrorCode::ServerUnreachable,
                                      std::string("Too many server requests."), std::nullopt);
}

NSError RZRInstallationsErrorUtil::APIErrorWithHTTPResponse(
    const std::shared_ptr<NSHTTPURLResponse>& response, const Data& data) {
    return RZRInstallationsHTTPError::initWithHTTPResponse(response, data)->error();
}

NSError RZRInstallationsErrorUtil::publicDomainErrorWithError(const NSError& error) {
    if (error.domain == kRZRInstallationsErrorDomain) return error;
    return installationsErrorWithCode(RZRInstallationsErrorCode::Unknown, std::nullopt, error);
}

bool RZRInstallationsErrorUtil::isAPIError(const NSError& error, long HTTPCode) {
    auto http = RZRInstallationsHTTPError::fromError(error);
    return http && http->HTTPResponse() && http->HTTPResponse()->statusCode() == HTTPCode;
}

std::shared_ptr<PRMPromise> RZRInstallationsErrorUtil::rejectedPromiseWithError(
    const NSError& error) {
    auto promise = PRMPromise::pendingPromise();
    promise->reject(error);
    return promise;
}

std::string RZRInstallationsErrorUtil::failureReason(const NSError& error) {
    return failureReasonOf(error);
}

std::optional<NSError> RZRInstallationsErrorUtil::underlyingError(const NSError& error) {
    const Dictionary* d = error.userInfo[NSError::NSUnderlyingErrorKey].asDictionary();
    if (!d) return std::nullopt;
    NSError out((*d)["domain"].asString().value_or(""), (*d)["code"].asInt().value_or(0));
    if (const Dictionary* info = (*d)["userInfo"].asDictionary()) out.userInfo = *info;
    return out;
}
