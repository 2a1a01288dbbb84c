#include "services/crash/RZRCTRNetworkResponseHandler.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

constexpr double kDefaultRetryValue = 2.0;

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

struct MediaType {
    std::string_view type;
    std::optional<std::string> charset;
};

// "type/subtype; name=value; ..." with any blanks around the separators and
// values optionally quoted.
MediaType parseMediaType(std::string_view text) {
    MediaType result;
    auto semicolon = text.find(';');
    result.type = trim(text.substr(0, semicolon));
    while (semicolon != std::string_view::npos) {
        text.remove_prefix(semicolon + 1);
        semicolon = text.find(';');
        std::string_view parameter = trim(text.substr(0, semicolon));
        auto equals = parameter.find('=');
        if (equals == std::string_view::npos) continue;
        if (!equalsIgnoringCase(trim(parameter.substr(0, equals)), "charset")) continue;
        std::string_view value = trim(parameter.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (!result.charset) result.charset = std::string(value);
    }
    return result;
}

std::optional<long> statusOf(const RZRCTRNetworkResponseHandler::ResponsePtr& response) {
    if (auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response))
        return http->statusCode();
    return std::nullopt;
}

}  // namespace

std::optional<std::string> RZRCTRNetworkResponseHandler::headerForResponse(
    const ResponsePtr& response, const std::string& key) {
    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response);
    if (!http) return std::nullopt;
    return http->valueForHTTPHeaderField(key);
}

double RZRCTRNetworkResponseHandler::retryValueForResponse(const ResponsePtr& response) {
    auto header = headerForResponse(response, "Retry-After");
    if (!header) return kDefaultRetryValue;
    std::string text(trim(*header));
    if (text.empty()) return kDefaultRetryValue;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value) || value < 0)
        return kDefaultRetryValue;
    return value;
}

std::optional<std::string> RZRCTRNetworkResponseHandler::requestIdForResponse(
    const ResponsePtr& response) {
    return headerForResponse(response, "X-Request-Id");
}

bool RZRCTRNetworkResponseHandler::contentTypeForResponse(const ResponsePtr& response,
                                                          const NSURLRequest& request) {
    auto accept = request.valueForHTTPHeaderField("Accept");
    if (!accept) return true;
    auto contentType = headerForResponse(response, "Content-Type");
    if (!contentType) return false;
    MediaType media = parseMediaType(*contentType);
    if (!equalsIgnoringCase(media.type, trim(*accept))) return false;
    auto acceptCharset = request.valueForHTTPHeaderField("Accept-Charset");
    if (!acceptCharset || !media.charset) return true;
    return equalsIgnoringCase(*media.charset, trim(*acceptCharset));
}

long RZRCTRNetworkResponseHandler::cancelReasonFromURLError(const NSError& error) {
    if (error.domain != NSURLErrorDomain || error.code != NSURLErrorCancelled) return -1;
    auto reason = error.userInfo[NSURLErrorBackgroundTaskCancelledReasonKey].asInt();
    return reason ? static_cast<long>(*reason) : -1;
}

bool RZRCTRNetworkResponseHandler::retryableURLError(const NSError& error) {
    if (error.domain != NSURLErrorDomain) return false;
    switch (error.code) {
        case -1022:  // transport security wants a secure connection
        case -1013:  // authentication required
        case -1012:  // authentication cancelled
        case -1010:  // redirect to a missing location
        case -1007:  // too many redirects
        case -1002:  // unsupported URL
        case -1000:  // bad URL
        case -995:   // background session needs a shared container
        case -1103:  // data exceeds the maximum length
        case -1101:  // file is a directory
        case -1100:  // file does not exist
            return false;
        default:
            return !(error.code >= -1206 && error.code <= -1200);
    }
}

NSError RZRCTRNetworkResponseHandler::errorForCode(long long code, Dictionary userInfo) {
    return NSError(kRZRCTRNetworkErrorDomain, code, std::move(userInfo));
}

std::optional<NSError> RZRCTRNetworkResponseHandler::errorForResponse(
    const ResponsePtr& response, RZRCTRNetworkClientResponseType type, long status) {
    long long code = 0;
    switch (type) {
        case RZRCTRNetworkClientResponseType::Success:
            return std::nullopt;
        case RZRCTRNetworkClientResponseType::Unexpected:
            code = RZRCTRNetworkErrorUnexpectedResponse;
            break;
        case RZRCTRNetworkClientResponseType::ClientError:
            code = RZRCTRNetworkErrorClientError;
            break;
        case RZRCTRNetworkClientResponseType::ServerError:
        case RZRCTRNetworkClientResponseType::Throttled:
            code = RZRCTRNetworkErrorRetryable;
            break;
    }
    Dictionary userInfo{
        {"type", Value(static_cast<long>(type))},
        {"status_code", Value(status)},
        {"request_id", Value(requestIdForResponse(response).value_or(""))},
        {"content_type", Value(headerForResponse(response, "Content-Type").value_or(""))},
    };
    return errorForCode(code, std::move(userInfo));
}

void RZRCTRNetworkResponseHandler::clientResponseType(
    const ResponsePtr& response,
    const std::function<void(RZRCTRNetworkClientResponseType, long)>& handler) {
    using Type = RZRCTRNetworkClientResponseType;
    auto status = statusOf(response);
    if (!status) {
        handler(Type::Unexpected, 0);
        return;
    }
    const long s = *status;
    Type type = Type::Unexpected;
    switch (s) {
        case 400:
        case 401:
        case 403:
        case 404:
        case 406:
        case 410:
        case 411:
        case 413:
        case 419:
        case 422:
        case 431:
            type = Type::ClientError;
            break;
        case 420:
        case 429:
            type = Type::Throttled;
            break;
        case 408:
            type = Type::ServerError;
            break;
        case 200:
        case 201:
        case 202:
        case 204:
        case 304:
            type = Type::Success;
            break;
        default:
            type = (s >= 500 && s <= 599) ? Type::ServerError : Type::Unexpected;
    }
    handler(type, s);
}

void RZRCTRNetworkResponseHandler::handleCompletedResponse(
    const ResponsePtr& response, const NSURLRequest& originalRequest,
    const std::optional<NSError>& error,
    const std::function<void(bool, std::optional<NSError>)>& block) {
    if (error) {
        block(retryableURLError(*error), error);
        return;
    }
    clientResponseType(response, [&](RZRCTRNetworkClientResponseType type, long status) {
        using Type = RZRCTRNetworkClientResponseType;
        switch (type) {
            case Type::Success:
                if (contentTypeForResponse(response, originalRequest))
                    block(false, std::nullopt);
                else
                    block(false, errorForResponse(response, Type::Unexpected, status));
                return;
            case Type::Unexpected:
            case Type::ClientError:
                block(false, errorForResponse(response, type, status));
                return;
            case Type::ServerError:
            case Type::Throttled:
                block(true, errorForResponse(response, type, status));
                return;
        }
    });
}
