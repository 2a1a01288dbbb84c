#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/log/Log.h"
#include "platform/net/NSURLRequest.h"
#include "services/crash/RZRCTRNetworkResponseHandler.h"
#include "services/crash/RZRCTRURLBuilder.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

using Type = RZRCTRNetworkClientResponseType;

std::shared_ptr<NSURLResponse> http(long status, NSHTTPHeaders headers = {}) {
    return std::make_shared<NSHTTPURLResponse>(*NSURL::URLWithString("https://example.test/x"),
                                               status, std::move(headers));
}

NSURLRequest jsonRequest() {
    NSURLRequest request(*NSURL::URLWithString("https://example.test/x"));
    request.setValue("application/json", "Accept");
    request.setValue("utf-8", "Accept-Charset");
    return request;
}

struct Outcome {
    bool retry = false;
    std::optional<NSError> error;
};

Outcome handle(const std::shared_ptr<NSURLResponse>& response, const NSURLRequest& request,
               std::optional<NSError> error = std::nullopt) {
    Outcome outcome;
    int calls = 0;
    RZRCTRNetworkResponseHandler::handleCompletedResponse(
        response, request, error, [&](bool retry, std::optional<NSError> e) {
            ++calls;
            outcome = {retry, std::move(e)};
        });
    EXPECT_EQ(calls, 1);
    return outcome;
}

TEST(RZRCTRNetworkResponseHandlerTest, ClassifiesStatuses) {
    struct Case {
        long status;
        Type type;
    };
    const std::vector<Case> cases = {
        {200, Type::Success},     {201, Type::Success},     {202, Type::Success},
        {204, Type::Success},     {304, Type::Success},     {203, Type::Unexpected},
        {100, Type::Unexpected},  {302, Type::Unexpected},  {409, Type::Unexpected},
        {400, Type::ClientError}, {401, Type::ClientError}, {403, Type::ClientError},
        {404, Type::ClientError}, {406, Type::ClientError}, {410, Type::ClientError},
        {411, Type::ClientError}, {413, Type::ClientError}, {419, Type::ClientError},
        {422, Type::ClientError}, {431, Type::ClientError}, {420, Type::Throttled},
        {429, Type::Throttled},   {408, Type::ServerError}, {500, Type::ServerError},
        {503, Type::ServerError}, {599, Type::ServerError}, {600, Type::Unexpected},
    };
    for (const auto& c : cases) {
        std::optional<Type> type;
        long status = -1;
        RZRCTRNetworkResponseHandler::clientResponseType(http(c.status), [&](Type t, long s) {
            type = t;
            status = s;
        });
        EXPECT_EQ(type, c.type) << c.status;
        EXPECT_EQ(status, c.status);
    }
    auto plain =
        std::make_shared<NSURLResponse>(*NSURL::URLWithString("file:///x"), "text/plain", 1);
    RZRCTRNetworkResponseHandler::clientResponseType(plain, [](Type t, long s) {
        EXPECT_EQ(t, Type::Unexpected);
        EXPECT_EQ(s, 0);
    });
}

TEST(RZRCTRNetworkResponseHandlerTest, CompletedResponsesGiveRetryAndError) {
    struct Case {
        long status;
        std::optional<std::string> contentType;
        bool retry;
        std::optional<long long> code;
    };
    const std::vector<Case> cases = {
        {200, "application/json", false, std::nullopt},
        {200, "Application/JSON; charset=UTF-8", false, std::nullopt},
        {200, "application/json;charset=utf-8", false, std::nullopt},
        {200, "application/json ;charset=\"utf-8\"", false, std::nullopt},
        {200, "application/json; version=2; charset=utf-8", false, std::nullopt},
        {200, "application/json;  CHARSET = utf-8", false, std::nullopt},
        {304, "application/json", false, std::nullopt},
        {200, "application/json; charset=iso-8859-1", false, -4},
        {200, "text/html", false, -4},
        {200, std::nullopt, false, -4},
        {409, "application/json", false, -4},
        {404, "application/json", false, -5},
        {429, "application/json", true, -1},
        {503, "application/json", true, -1},
        {408, std::nullopt, true, -1},
    };
    for (const auto& c : cases) {
        NSHTTPHeaders headers{{"X-Request-Id", "req-7"}};
        if (c.contentType) headers["Content-Type"] = *c.contentType;
        auto outcome = handle(http(c.status, headers), jsonRequest());
        SCOPED_TRACE(std::to_string(c.status) + " " + c.contentType.value_or("(none)"));
        EXPECT_EQ(outcome.retry, c.retry);
        ASSERT_EQ(outcome.error.has_value(), c.code.has_value());
        if (!c.code) continue;
        EXPECT_EQ(outcome.error->domain, "RZRCTRNetworkError");
        EXPECT_EQ(outcome.error->code, *c.code);
        EXPECT_EQ(outcome.error->userInfo["status_code"].asInt(), c.status);
        EXPECT_EQ(outcome.error->userInfo["request_id"].asString(), "req-7");
        EXPECT_EQ(outcome.error->userInfo["content_type"].asString(), c.contentType.value_or(""));
    }
    // The 200 with the wrong content type reports itself as unexpected.
    auto outcome = handle(http(200, {{"Content-Type", "text/html"}}), jsonRequest());
    EXPECT_EQ(outcome.error->userInfo["type"].asInt(), 1);
    // A request without Accept takes any response.
    NSURLRequest bare(*NSURL::URLWithString("https://example.test/x"));
    EXPECT_FALSE(handle(http(200), bare).error);
}

TEST(RZRCTRNetworkResponseHandlerTest, TransportErrorsRetryUnlessPermanent) {
    struct Case {
        std::string domain;
        long long code;
        bool retry;
    };
    const std::vector<Case> cases = {
        {NSURLErrorDomain, -1001, true},   {NSURLErrorDomain, -1005, true},
        {NSURLErrorDomain, -1009, true},   {NSURLErrorDomain, -1102, true},
        {NSURLErrorDomain, -1199, true},   {NSURLErrorDomain, -1207, true},
        {NSURLErrorDomain, -1202, false},  {NSURLErrorDomain, -1200, false},
        {NSURLErrorDomain, -1206, false},  {NSURLErrorDomain, -1022, false},
        {NSURLErrorDomain, -1013, false},  {NSURLErrorDomain, -1012, false},
        {NSURLErrorDomain, -1010, false},  {NSURLErrorDomain, -1007, false},
        {NSURLErrorDomain, -1002, false},  {NSURLErrorDomain, -1000, false},
        {NSURLErrorDomain, -995, false},   {NSURLErrorDomain, -1103, false},
        {NSURLErrorDomain, -1101, false},  {NSURLErrorDomain, -1100, false},
        {"NSPOSIXErrorDomain", 54, false},
    };
    for (const auto& c : cases) {
        NSError error(c.domain, c.code);
        auto outcome = handle(http(200), jsonRequest(), error);
        EXPECT_EQ(outcome.retry, c.retry) << c.domain << " " << c.code;
        EXPECT_EQ(outcome.error, error);
    }
}

TEST(RZRCTRNetworkResponseHandlerTest, RetryAfterAndCancelReason) {
    struct Case {
        std::optional<std::string> header;
        double seconds;
    };
    const std::vector<Case> cases = {
        {std::nullopt, 2.0}, {"30", 30.0},   {" 1.5 ", 1.5}, {"-4", 2.0},
        {"soon", 2.0},       {"12abc", 2.0}, {"inf", 2.0},   {"", 2.0},
    };
    for (const auto& c : cases) {
        NSHTTPHeaders headers;
        if (c.header) headers["Retry-After"] = *c.header;
        EXPECT_DOUBLE_EQ(RZRCTRNetworkResponseHandler::retryValueForResponse(http(429, headers)),
                         c.seconds)
            << c.header.value_or("(none)");
    }
    EXPECT_EQ(RZRCTRNetworkResponseHandler::cancelReasonFromURLError(NSError(
                  NSURLErrorDomain, -999, {{NSURLErrorBackgroundTaskCancelledReasonKey, 2}})),
              2);
    EXPECT_EQ(
        RZRCTRNetworkResponseHandler::cancelReasonFromURLError(NSError(NSURLErrorDomain, -999)),
        -1);
    EXPECT_EQ(RZRCTRNetworkResponseHandler::cancelReasonFromURLError(NSError(
                  NSURLErrorDomain, -1001, {{NSURLErrorBackgroundTaskCancelledReasonKey, 2}})),
              -1);
}

TEST(RZRCTRURLBuilderTest, BuildsEscapedPathsAndQueries) {
    struct Case {
        std::string segment;
        Value value;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"1:123:mac:abc", Value("1:2/ab"), "https://h.test/p/1:123:mac:abc?v=1:2/ab"},
        {"a/b?c#d", Value("x&y=z"), "https://h.test/p/a%2Fb%3Fc%23d?v=x%26y%3Dz"},
        {"sp ace", Value("1+1 #2"), "https://h.test/p/sp%20ace?v=1%2B1%20%232"},
        {"caf\xc3\xa9", Value(42), "https://h.test/p/caf%C3%A9?v=42"},
    };
    for (const auto& c : cases) {
        auto builder = RZRCTRURLBuilder::URLWithBase("https://h.test");
        builder->appendComponent("/p/");
        builder->escapeAndAppendComponent(c.segment);
        builder->appendValue(c.value, "v");
        EXPECT_EQ(builder->URLString(), c.expected);
        ASSERT_TRUE(builder->URL());
        // The query holds exactly one field whatever the value carried.
        EXPECT_EQ(builder->URL()->query().find('&'), std::string::npos) << c.expected;
    }
}

TEST(RZRCTRURLBuilderTest, QueryParametersInOrderAndEmptyValues) {
    sim::LogCapture capture;
    auto builder = RZRCTRURLBuilder::URLWithBase("https://h.test/s");
    builder->appendValue(Value(""), "build_version");
    EXPECT_EQ(builder->URLString(), "https://h.test/s?build_version=");
    builder->appendValue(Value(), "skipped");
    builder->appendValue(Value(1L), "source");
    EXPECT_EQ(builder->URLString(), "https://h.test/s?build_version=&source=1");
    EXPECT_EQ(builder->queryParams(), 2u);
    sim::flushZVULogger();
    EXPECT_TRUE(capture.containsSubstring("URLBuilder parameter component must not be empty"));
}

}  // namespace
