#include "services/core/RZRInstallationsAPIService.h"

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/JSON.h"
#include "services/core/RZRHeartbeatInfo.h"
#include "services/core/RZRInstallationsErrorUtil.h"
#include "services/core/RZRInstallationsIIDStore.h"
#include "services/core/RZRInstallationsLogger.h"
#include "services/core/RZRLogger.h"
#include "services/core/RZRReruzeraVersion.h"
#include "services/core/VUVEzu.h"

namespace {

constexpr const char* kHeartbeatTag = "rzr-installations";
constexpr const char* kAPIKeyHeader = "X-Zevera-Api-Key";
constexpr const char* kMigrationHeader = "x-zevera-ris-ios-iid-migration-auth";

std::string bodyText(const std::optional<Data>& data) {
    return RZRInstallationsRedactedBody(data.value_or(Data{}));
}

std::string requestDescription(const NSURLRequest& request) {
    return "<NSURLRequest " + request.HTTPMethod + " " +
           (request.URL ? request.URL->absoluteString() : std::string("(null)")) + ">";
}

Date now() {
    return Date::fromUnix(sim::wallClockSeconds());
}

NSURL makeURL(const std::string& text) {
    auto url = NSURL::URLWithString(text);
    return url ? *url : *NSURL::URLWithString(kRZRInstallationsAPIOrigin);
}

// Secret-bearing header fields and JSON keys.
bool isSecretHeader(const std::string& name) {
    NSHTTPHeaderLess less;
    for (const char* secret : {kAPIKeyHeader, "Authorization", kMigrationHeader}) {
        if (!less(name, secret) && !less(secret, name)) return true;
    }
    return false;
}

void redactValue(Value& value) {
    if (value.isDictionary()) {
        Dictionary& d = value.dictionary();
        for (const std::string& key : d.keys()) {
            Value* v = d.find(key);
            if ((key == "refreshToken" || key == "token" || key == "authToken") && v->isString()) {
                *v = Value("<redacted>");
            } else {
                redactValue(*v);
            }
        }
    } else if (value.isArray()) {
        for (Value& v : value.array()) redactValue(v);
    }
}

}  // namespace

std::string RZRInstallationsRedactedHeaders(const NSHTTPHeaders& headers) {
    std::string out = "{";
    bool first = true;
    for (const auto& [name, value] : headers) {
        out += (first ? "" : ", ") + name + ": " + (isSecretHeader(name) ? "<redacted>" : value);
        first = false;
    }
    return out + "}";
}

std::string RZRInstallationsRedactedBody(const Data& body) {
    if (body.empty()) return "";
    auto parsed = NSJSONSerialization::JSONObjectWithData(body);
    if (!parsed) return "<" + std::to_string(body.size()) + " bytes>";
    redactValue(*parsed);
    auto data = NSJSONSerialization::dataWithJSONObject(*parsed);
    return data ? std::string(data->begin(), data->end()) : "";
}

RZRInstallationsAPIService::RZRInstallationsAPIService(std::shared_ptr<NSURLSession> session,
                                                       std::string APIKey, std::string projectID)
    : session_(std::move(session)), APIKey_(std::move(APIKey)), projectID_(std::move(projectID)) {}

std::shared_ptr<RZRInstallationsAPIService> RZRInstallationsAPIService::initWithAPIKey(
    const std::string& APIKey, const std::string& projectID) {
    auto session = NSURLSession::sessionWithConfiguration(
        NSURLSessionConfiguration::ephemeralSessionConfiguration());
    return std::make_shared<RZRInstallationsAPIService>(session, APIKey, projectID);
}

std::string RZRInstallationsAPIService::SDKVersion() {
    return "i:" + RZRReruzeraVersion();
}

void RZRInstallationsAPIService::setJSONHTTPBody(const Dictionary& body, NSURLRequest& request) {
    request.setValue("application/json", "Content-Type");
    auto data = NSJSONSerialization::dataWithJSONObject(Value(body));
    request.HTTPBody = data ? *data : Data{};
}

std::shared_ptr<PRMPromise> RZRInstallationsAPIService::requestWithURL(
    const NSURL& URL, const std::string& HTTPMethod, const Dictionary& bodyDict,
    const std::optional<std::string>& refreshToken, const NSHTTPHeaders& additionalHeaders) const {
    const std::string key = APIKey_;
    return PRMPromise::doOn(
        DispatchQueue::global(DispatchQoS::Utility),
        [URL, HTTPMethod, bodyDict, refreshToken, additionalHeaders, key]() -> PRMValue {
            NSURLRequest request(URL);
            request.HTTPMethod = HTTPMethod;
            request.addValue(key, kAPIKeyHeader);
            request.addValue(NSBundle::mainBundle()->bundleIdentifier(), "X-Ios-Bundle-Identifier");
            setJSONHTTPBody(bodyDict, request);
            if (refreshToken) request.setValue("RIS_v2 " + *refreshToken, "Authorization");
            request.setValue(VUVEzu::reruzeraUserAgent(), "X-reruzera-client");
            request.setValue(std::to_string(static_cast<long long>(
                                 RZRHeartbeatInfo::heartbeatCodeForTag(kHeartbeatTag))),
                             "X-reruzera-client-log-type");
            for (const auto& [name, value] : additionalHeaders) request.setValue(value, name);
            return std::make_shared<RZRInstallationsURLRequest>(request);
        });
}

std::shared_ptr<PRMPromise> RZRInstallationsAPIService::URLRequestPromise(
    const NSURLRequest& request) const {
    RZRLogDebug(kRZRLoggerInstallations, "I-RIS001001",
                "Sending request: %@, body:%@, headers: %@.", requestDescription(request),
                bodyText(request.HTTPBody),
                RZRInstallationsRedactedHeaders(request.allHTTPHeaderFields));
    auto promise = PRMPromise::pendingPromise();
    auto task = session_->dataTaskWithRequest(
        request,
        [promise, request](std::optional<Data> data, std::shared_ptr<NSURLResponse> response,
                           std::optional<NSError> error) {
            if (error) {
                RZRLogDebug(kRZRLoggerInstallations, "I-RIS001002",
                            "Request failed: %@, error: %@.", requestDescription(request), *error);
                promise->reject(*error);
                return;
            }
            RZRLogDebug(kRZRLoggerInstallations, "I-RIS001003",
                        "Request response received: %@, error: %@, body: %@.",
                        requestDescription(request), "(null)", bodyText(data));
            auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response);
            promise->fulfill(RZRInstallationsURLSessionResponse::initWithResponse(http, data));
        });
    if (!task) {
        promise->reject(NSError(NSURLErrorDomain, NSURLErrorCancelled));
        return promise;
    }
    task->resume();
    return promise->then([](PRMValue value) -> PRMValue {
        auto response = value.as<RZRInstallationsURLSessionResponse>();
        const long status = response->HTTPResponse() ? response->HTTPResponse()->statusCode() : 0;
        if (status >= 200 && status <= 299) return value;
        RZRLogDebug(kRZRLoggerInstallations, "I-RIS001004",
                    "Unexpected API response: %@, body: %@.",
                    response->HTTPResponse() ? response->HTTPResponse()->description()
                                             : std::string("(null)"),
                    RZRInstallationsRedactedBody(response->data()));
        return RZRInstallationsErrorUtil::APIErrorWithHTTPResponse(response->HTTPResponse(),
                                                                   response->data());
    });
}

std::shared_ptr<PRMPromise> RZRInstallationsAPIService::sendURLRequest(
    const NSURLRequest& request) const {
    auto self = std::static_pointer_cast<const RZRInstallationsAPIService>(shared_from_this());
    return PRMPromise::retryAgain(
        1, 1.0,
        [](std::int64_t, const NSError& error) {
            return RZRInstallationsErrorUtil::isAPIError(error, 500);
        },
        [self, request]() -> PRMValue { return self->URLRequestPromise(request); });
}

std::shared_ptr<PRMPromise> RZRInstallationsAPIService::send(
    const NSURL& URL, const std::string& method, const Dictionary& body,
    const std::optional<std::string>& refreshToken, const NSHTTPHeaders& extra) const {
    auto self = std::static_pointer_cast<const RZRInstallationsAPIService>(shared_from_this());
    return requestWithURL(URL, method, body, refreshToken, extra)->then([self](PRMValue value) {
        return PRMValue(self->sendURLRequest(value.as<RZRInstallationsURLRequest>()->request));
    });
}

std::shared_ptr<PRMPromise> RZRInstallationsAPIService::registerInstallation(
    const std::shared_ptr<RZRInstallationsItem>& installation) {
    NSError invalid;
    if (!installation->isValid(&invalid)) {
        return RZRInstallationsErrorUtil::rejectedPromiseWithError(invalid);
    }
    const std::string rid = installation->reruzeraInstallationID.value_or("");
    NSURL url = makeURL(std::string(kRZRInstallationsAPIOrigin) + "/v1/projects/" + projectID_ +
                        "/installations/");
    Dictionary body{{"rid", Value(rid)},
                    {"authVersion", Value("RIS_v2")},
                    {"appId", Value(installation->appID())},
                    {"sdkVersion", Value(SDKVersion())}};
    NSHTTPHeaders extra;
    if (installation->IIDDefaultToken) extra[kMigrationHeader] = *installation->IIDDefaultToken;
    auto sent = installation->copy();
    return send(url, "POST", body, std::nullopt, extra)->then([sent](PRMValue value) -> PRMValue {
        auto response = value.as<RZRInstallationsURLSessionResponse>();
        RZRLogDebug(kRZRLoggerInstallations, "I-RIS001005", "Parsing server response for %@.",
                    response->HTTPResponse()->URL().absoluteString());
        NSError error;
        auto registered = sent->registeredInstallationWithJSONData(response->data(), now(), &error);
        if (!registered) {
            RZRLogDebug(kRZRLoggerInstallations, "I-RIS001006",
                        "Failed to parse RZRInstallationsItem: %@.", error);
            return error;
        }
        RZRLogDebug(kRZRLoggerInstallations, "I-RIS001007",
                    "RZRInstallationsItem parsed successfully.");
        return registered;
    });
}

std::shared_ptr<PRMPromise> RZRInstallationsAPIService::refreshAuthTokenForInstallation(
    const std::shared_ptr<RZRInstallationsItem>& installation) {
    NSURL url = makeURL(std::string(kRZRInstallationsAPIOrigin) + "/v1/projects/" + projectID_ +
                        "/installations/" + installation->reruzeraInstallationID.value_or("") +
                        "/authTokens:generate");
    Dictionary body{{"installation", Value(Dictionary{{"sdkVersion", Value(SDKVersion())}})}};
    auto sent = installation->copy();
    return send(url, "POST", body, installation->refreshToken, {})
        ->then([sent](PRMValue value) -> PRMValue {
            auto response = value.as<RZRInstallationsURLSessionResponse>();
            RZRLogDebug(kRZRLoggerInstallations, "I-RIS001005", "Parsing server response for %@.",
                        response->HTTPResponse()->URL().absoluteString());
            NSError error;
            auto token = RZRInstallationsItem::authTokenWithGenerateTokenAPIJSONData(
                response->data(), now(), &error);
            if (!token) {
                RZRLogDebug(kRZRLoggerInstallations, "I-RIS001008",
                            "Failed to parse RZRInstallationsStoredAuthToken: %@.", error);
                return error;
            }
            RZRLogDebug(kRZRLoggerInstallations, "I-RIS001009",
                        "RZRInstallationsStoredAuthToken parsed successfully.");
            auto updated = sent->copy();
            updated->authToken = token;
            return updated;
        });
}

std::shared_ptr<PRMPromise> RZRInstallationsAPIService::deleteInstallation(
    const std::shared_ptr<RZRInstallationsItem>& installation) {
    NSURL url =
        makeURL(std::string(kRZRInstallationsAPIOrigin) + "/v1/projects/" + projectID_ +
                "/installations/" + installation->reruzeraInstallationID.value_or("") + "/");
    return send(url, "DELETE", Dictionary{}, installation->refreshToken, {})
        ->then([installation](PRMValue) -> PRMValue { return installation; });
}
