#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/testing/TestServer.h"
#include "services/crash/RZRCTRNetworkResponseHandler.h"
#include "services/crash/RZRCTRTKNetworkClient.h"

namespace {

constexpr auto kWait = std::chrono::seconds(20);

// Runs every retry at once and remembers the delay it was due after.
class ImmediateRetryClient : public RZRCTRTKNetworkClient {
  public:
    static std::shared_ptr<ImmediateRetryClient> make() {
        std::shared_ptr<ImmediateRetryClient> client(new ImmediateRetryClient());
        client->makeSession(nullptr, nullptr);
        return client;
    }
    void runAfterRetryValueFromResponse(const std::shared_ptr<NSURLResponse>& response,
                                        std::uint64_t attempts,
                                        const std::shared_ptr<DispatchQueue>& queue,
                                        std::function<void()> block) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            delays.push_back(computeDelayForResponse(response, attempts));
        }
        queue->async(std::move(block));
    }
    std::vector<double> recordedDelays() {
        std::lock_guard<std::mutex> lock(mutex);
        return delays;
    }

  private:
    std::mutex mutex;
    std::vector<double> delays;
};

struct Result {
    std::optional<std::string> body;
    long status = 0;
    std::optional<NSError> error;
    DispatchSemaphore done{0};
};

class RZRCTRTKNetworkClientTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::useRealClock(); }
    NSURLRequest request(const std::string& path) {
        NSURLRequest r(*NSURL::URLWithString(server.url(path)));
        r.setValue("application/json", "Accept");
        return r;
    }
    static sim::ScriptedResponse json(int status, std::string body = "{}") {
        return sim::ScriptedResponse::text(status, std::move(body), "application/json");
    }
    void runData(ImmediateRetryClient& client, const NSURLRequest& r, std::uint64_t limit,
                 Result& result) {
        client.startDataTaskWithRequest(r, limit, [&](auto data, auto response, auto error) {
            if (data) result.body = std::string(data->begin(), data->end());
            if (auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response))
                result.status = http->statusCode();
            result.error = error;
            result.done.signal();
        });
        ASSERT_EQ(result.done.wait(sim::Duration(kWait)), DispatchTimeoutResult::success);
    }
    sim::TestServer server;
};

TEST_F(RZRCTRTKNetworkClientTest, RetriesWithinTheBudgetThenGivesUp) {
    struct Case {
        std::vector<int> statuses;
        std::uint64_t limit;
        std::size_t attempts;
        std::optional<long long> code;
        std::optional<std::string> body;
    };
    const std::vector<Case> cases = {
        {{503, 503}, 1, 2, -6, std::nullopt},
        {{429, 200}, 1, 2, std::nullopt, "ok"},
        {{404}, 10, 1, -5, "ok"},
        {{409}, 10, 1, -4, "ok"},
        {{500, 500, 500}, 2, 3, -6, std::nullopt},
        {{200}, 0, 1, std::nullopt, "ok"},
    };
    for (const auto& c : cases) {
        server.clearRequests();
        for (int status : c.statuses) server.enqueue("/r", json(status, "ok"));
        auto client = ImmediateRetryClient::make();
        Result result;
        runData(*client, request("/r"), c.limit, result);
        SCOPED_TRACE(c.statuses.front());
        EXPECT_EQ(server.requestCount(), c.attempts);
        EXPECT_EQ(client->recordedDelays().size(), c.attempts - 1);
        ASSERT_EQ(result.error.has_value(), c.code.has_value());
        EXPECT_EQ(result.body, c.body);
        if (!c.code) continue;
        EXPECT_EQ(result.error->domain, "RZRCTRNetworkError");
        EXPECT_EQ(result.error->code, *c.code);
        if (*c.code == -6) {
            EXPECT_EQ(result.error->userInfo["retryLimit"].asInt(), static_cast<long>(c.limit));
            EXPECT_EQ(result.error->userInfo[NSURLErrorFailingURLStringErrorKey].asString(),
                      server.url("/r"));
        }
    }
}

TEST_F(RZRCTRTKNetworkClientTest, LostConnectionsAreRetriedElevenTimes) {
    auto dropped = json(200, std::string(4096, 'x'));
    dropped.dropAfterBytes = 10;
    server.setDefaultResponse(dropped);
    auto client = ImmediateRetryClient::make();
    Result result;
    client->startDataTaskWithRequest(request("/lost"), [&](auto, auto, auto error) {
        result.error = error;
        result.done.signal();
    });
    ASSERT_EQ(result.done.wait(sim::Duration(kWait)), DispatchTimeoutResult::success);
    EXPECT_EQ(server.requestCount(), 11u);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, -6);
    // The no-Retry-After delays before the retries: about 2, 2, 4, 8, ...
    auto delays = client->recordedDelays();
    ASSERT_EQ(delays.size(), 10u);
    for (std::size_t i = 0; i < delays.size(); ++i) {
        double expected = std::pow(2.0, static_cast<double>(std::max<std::size_t>(i, 1)));
        EXPECT_GE(delays[i], expected * 0.9 - 1e-6) << i;
        EXPECT_LE(delays[i], expected * 1.1 + 1e-6) << i;
    }
}

TEST_F(RZRCTRTKNetworkClientTest, DownloadsHandTheFileToTheCompletion) {
    server.enqueue("/d", json(503));
    server.enqueue("/d", json(200, R"({"a":1})"));
    auto client = ImmediateRetryClient::make();
    Result result;
    client->startDownloadTaskWithRequest(request("/d"), 1, [&](auto location, auto, auto error) {
        if (location) {
            std::ifstream in(location->path(), std::ios::binary);
            result.body = std::string(std::istreambuf_iterator<char>(in), {});
        }
        result.error = error;
        result.done.signal();
    });
    ASSERT_EQ(result.done.wait(sim::Duration(kWait)), DispatchTimeoutResult::success);
    EXPECT_FALSE(result.error);
    EXPECT_EQ(result.body, R"({"a":1})");
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(RZRCTRTKNetworkClientTest, InvalidatedSessionFailsAtOnce) {
    auto client = ImmediateRetryClient::make();
    client->invalidateAndCancel();
    std::optional<NSError> error;
    client->startDataTaskWithRequest(request("/x"), [&](auto, auto, auto e) { error = e; });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, -3);
}

TEST(RZRCTRTKNetworkClientDelayTest, DelayGrowsWithinBoundsAndNeverOverflows) {
    auto response = [](std::optional<std::string> retryAfter) {
        NSHTTPHeaders headers;
        if (retryAfter) headers["Retry-After"] = *retryAfter;
        return std::make_shared<NSHTTPURLResponse>(*NSURL::URLWithString("https://h.test/"), 429,
                                                   headers);
    };
    struct Case {
        std::optional<std::string> retryAfter;
        std::uint64_t count;
        double low, high;
    };
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    const std::vector<Case> cases = {
        {std::nullopt, 0, 1.8, 2.2},
        {std::nullopt, 1, 1.8, 2.2},
        {std::nullopt, 2, 3.6, 4.4},
        {std::nullopt, 3, 7.2, 8.8},
        // What the server asks, exactly, however often it has asked.
        {"30", 0, 30, 30},
        {"30", 2, 30, 30},
        {"30", 3, 30, 30},
        {"1", 1, 1, 1},
        {"0", 4, 0, 0},
        {"nan", 3, 2, 2},
        {"30", 10, 30, 30},
        {std::nullopt, 5000, 0.9 * 3600, 1.1 * 3600},
        {std::nullopt, kMax, 0.9 * 3600, 1.1 * 3600},
        {"1e300", 3, 86400, 86400},
        {"7200", 1, 7200, 7200},
    };
    srand48(16);
    for (const auto& c : cases) {
        for (int i = 0; i < 20; ++i) {
            double delay =
                RZRCTRTKNetworkClient::computeDelayForResponse(response(c.retryAfter), c.count);
            ASSERT_TRUE(std::isfinite(delay));
            EXPECT_GE(delay, c.low - 1e-6) << c.retryAfter.value_or("-") << " " << c.count;
            EXPECT_LE(delay, c.high + 1e-6) << c.retryAfter.value_or("-") << " " << c.count;
        }
    }
    for (int i = 0; i < 1000; ++i) {
        double jitter = RZRCTRTKNetworkClient::generateRandomJitter();
        ASSERT_GE(jitter, 0.8999999761581421);
        ASSERT_LT(jitter, 1.100000023841858);
    }
}

TEST(RZRCTRTKNetworkClientDelayTest, RetryRunsAfterTheDelayOnTheVirtualClock) {
    sim::useVirtualClock();
    auto client = RZRCTRTKNetworkClient::client();
    ASSERT_TRUE(client);
    bool ran = false;
    client->runAfterRetryValueFromResponse(nullptr, 3, DispatchQueue::main(), [&] { ran = true; });
    sim::advanceAndRun(sim::seconds(7.1));  // the least a retry after three may wait: 0.9 x 8
    EXPECT_FALSE(ran);
    sim::advanceAndRun(sim::seconds(1.8));
    EXPECT_TRUE(ran);
    sim::useRealClock();
}

}  // namespace
