#include "services/util/DOZIvedidi.h"

#include <gtest/gtest.h>

#include "platform/dispatch/Dispatch.h"
#include "platform/log/Log.h"
#include "platform/testing/TestServer.h"
#include "services/util/ZVUGzip.h"
#include "services/util/ZVULoggerTesting.h"
#include "services/util/tests/TempHome.h"

using namespace std::chrono_literals;

namespace {

struct Result {
    int calls = 0;
    std::string queueLabel;
    std::shared_ptr<NSHTTPURLResponse> response;
    std::optional<Data> data;
    std::optional<NSError> error;
};

struct Logger : NSObject, DOZIvedidiLoggerDelegate {
    std::vector<std::pair<long, std::string>> lines;
    void DOZIvedidi_logWithLevel(ZVULoggerLevel, long code, const std::string& message,
                                 const std::vector<PRMValue>&) override {
        lines.emplace_back(code, message);
    }
    void DOZIvedidi_logWithLevel(ZVULoggerLevel, long code, const std::string& message,
                                 const PRMValue&) override {
        lines.emplace_back(code, message);
    }
    void DOZIvedidi_logWithLevel(ZVULoggerLevel, long code, const std::string& message) override {
        lines.emplace_back(code, message);
    }
};

struct Watcher : DOZIvedidiReachabilityDelegate {
    int changes = 0;
    void reachabilityDidChange() override { ++changes; }
};

class NetworkClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::setLogEcho(false);
        sim::resetZVULoggerForTesting();
        sim::setReachabilityFlags(kSCNetworkReachabilityFlagsReachable);
        client_ = DOZIvedidi::initWithReachabilityHost("upload.example.com");
        ASSERT_TRUE(client_);
    }
    void TearDown() override {
        client_.reset();
        sim::MainLoop::runUntilIdle();
        sim::setReachabilityFlags(std::nullopt);
        sim::clearServiceHostOverride();
        sim::useRealClock();
        sim::resetZVULoggerForTesting();
    }
    // Handlers may run on any queue; the result is kept on the main thread,
    // where the test reads it.
    DOZIvedidi::CompletionHandler record(Result& r) {
        return [&r](auto response, auto data, auto error) {
            std::string label = DispatchQueue::currentLabel();
            DispatchQueue::main()->async([&r, label, response, data, error] {
                ++r.calls;
                r.queueLabel = label;
                r.response = response;
                r.data = data;
                r.error = error;
            });
        };
    }
    void wait(Result& r) {
        ASSERT_TRUE(sim::MainLoop::runUntil([&] { return r.calls > 0; }, 10s));
        sim::MainLoop::runUntilIdle();
        EXPECT_EQ(r.calls, 1);
    }
    NSURL url(const std::string& path) { return *NSURL::URLWithString(server_.url(path)); }
    bool waitNotInProgress() {
        return sim::MainLoop::runUntil([&] { return !client_->hasUploadInProgress(); }, 5s);
    }

    TempHome home_;
    sim::TestServer server_;
    sim::LogCapture capture_;
    std::shared_ptr<DOZIvedidi> client_;
};

}  // namespace

TEST_F(NetworkClientTest, PostsGzippedPayloadsAndAnswersOnTheCallersQueue) {
    server_.setResponse("/upload", sim::ScriptedResponse::text(500, "server trouble"));
    auto queue = DispatchQueue::create("com.example.caller");
    std::string payload(20000, 'm');
    for (const std::string& body : {std::string(), payload}) {
        SCOPED_TRACE(body.size());
        server_.clearRequests();
        Result r;
        auto id = client_->postURL(url("/upload"), Data(body.begin(), body.end()), queue, false,
                                   record(r));
        ASSERT_TRUE(id);
        EXPECT_TRUE(client_->hasUploadInProgress());
        ASSERT_TRUE(sim::MainLoop::runUntil([&] { return r.calls > 0; }, 10s));
        ASSERT_TRUE(waitNotInProgress());
        EXPECT_EQ(r.calls, 1);
        EXPECT_EQ(r.queueLabel, "com.example.caller");
        EXPECT_FALSE(r.error);
        EXPECT_EQ(r.response->statusCode(), 500);
        EXPECT_EQ(std::string(r.data->begin(), r.data->end()), "server trouble");

        auto seen = server_.requests().at(0);
        EXPECT_EQ(seen.method, "POST");
        EXPECT_EQ(seen.header("Content-Encoding"), "gzip");
        EXPECT_EQ(seen.header("Content-Type"), "application/x-www-form-urlencoded");
        std::size_t compressed =
            body.empty() ? 0 : zvu_dataByGzippingData(Data(body.begin(), body.end()))->size();
        EXPECT_EQ(seen.header("Content-Length"), std::to_string(compressed));
        EXPECT_EQ(seen.body, body);  // the server inflates what it received
    }
}

TEST_F(NetworkClientTest, GetsSendTheCallersHeadersAndReportTransportErrors) {
    server_.setResponse("/config", sim::ScriptedResponse::text(200, "config"));
    Result r;
    ASSERT_TRUE(client_->getURL(url("/config"), {{"X-Api-Key", "key"}}, nullptr, false, record(r)));
    wait(r);
    EXPECT_EQ(r.queueLabel, "com.apple.main-thread");
    EXPECT_EQ(std::string(r.data->begin(), r.data->end()), "config");
    EXPECT_EQ(server_.requests().at(0).header("X-Api-Key"), "key");
    EXPECT_EQ(server_.requests().at(0).method, "GET");

    sim::TestServer closed;
    NSURL gone = *NSURL::URLWithString(closed.url("/x"));
    closed.stop();
    Result failed;
    ASSERT_TRUE(client_->getURL(gone, {}, nullptr, true, record(failed)));
    wait(failed);
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(failed.error->code, NSURLErrorCannotConnectToHost);
    EXPECT_FALSE(failed.response);
    EXPECT_TRUE(waitNotInProgress());
}

TEST_F(NetworkClientTest, RequestsThatCannotStartFailLaterOnTheCallersQueue) {
    auto queue = DispatchQueue::create("com.example.caller");
    Result post, get;
    EXPECT_FALSE(client_->postURL(NSURL(), Data{'x'}, queue, false, record(post)));
    EXPECT_FALSE(client_->getURL(NSURL(), {}, queue, false, record(get)));
    EXPECT_EQ(post.calls, 0);
    ASSERT_TRUE(sim::MainLoop::runUntil([&] { return post.calls && get.calls; }, 5s));
    for (const Result* r : {&post, &get}) {
        EXPECT_EQ(r->calls, 1);
        EXPECT_EQ(r->queueLabel, "com.example.caller");
        ASSERT_TRUE(r->error);
        EXPECT_EQ(r->error->domain, ZVUNetworkErrorDomain);
        EXPECT_EQ(r->error->code, 1);
        EXPECT_EQ(r->error->userInfo[ZVUNetworkErrorContext].asString(),
                  "Failed to create network request");
    }
    EXPECT_FALSE(client_->hasUploadInProgress());
}

TEST_F(NetworkClientTest, AZeroTimeOutMeansSixtySeconds) {
    sim::useVirtualClock();
    auto slow = sim::ScriptedResponse::text(200, "late");
    slow.delay = 5000ms;
    server_.setResponse("/slow", slow);
    client_->setTimeoutInterval(0);
    Result r;
    ASSERT_TRUE(client_->getURL(url("/slow"), {}, nullptr, false, record(r)));
    ASSERT_TRUE(server_.waitForRequests(1, 5s));
    sim::advanceClock(sim::seconds(59));
    sim::MainLoop::runFor(50ms);
    EXPECT_EQ(r.calls, 0);
    sim::advanceClock(sim::seconds(2));
    wait(r);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, NSURLErrorTimedOut);
}

TEST_F(NetworkClientTest, ServiceHostsReachTheLocalBackendOverTheTrustPath) {
    sim::setServiceHostOverride(server_.url());
    server_.setResponse("/a", sim::ScriptedResponse::text(204, ""));
    Result r;
    ASSERT_TRUE(client_->postURL(*NSURL::URLWithString("https://upload.example.com/a"), Data{'1'},
                                 nullptr, false, record(r)));
    wait(r);
    EXPECT_FALSE(r.error);
    EXPECT_EQ(r.response->statusCode(), 204);
    EXPECT_EQ(server_.requests().at(0).header("X-Forwarded-Host"), "upload.example.com");

    sim::setServerTrustResult(kSecTrustResultRecoverableTrustFailure);
    Result refused;
    ASSERT_TRUE(client_->postURL(*NSURL::URLWithString("https://upload.example.com/a"), Data{'1'},
                                 nullptr, false, record(refused)));
    wait(refused);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code, NSURLErrorCancelled);
    EXPECT_EQ(server_.requestCount(), 1u);
    sim::resetServerTrust();
}

TEST_F(NetworkClientTest, BuiltInLoggingWritesOnlyWhatDebugModeAllows) {
    server_.setResponse("/u", sim::ScriptedResponse::text(200, "ok"));
    const std::string line =
        "<Zevera/Utilities/Network/DEBUG> Uploading data. Host: " + server_.url("/u");
    for (bool debug : {false, true}) {
        capture_.clear();
        client_->setIsDebugModeEnabled(debug);
        Result r;
        ASSERT_TRUE(client_->postURL(url("/u"), Data{'p'}, nullptr, false, record(r)));
        wait(r);
        EXPECT_EQ(capture_.contains(line), debug);
    }
    capture_.clear();
    client_->DOZIvedidi_logWithLevel(ZVULoggerLevel::Warning, 900002, "", PRMValue());
    client_->DOZIvedidi_logWithLevel(ZVULoggerLevel::Error, 7, "100% sure",
                                     std::vector<PRMValue>{PRMValue(3), PRMValue()});
    sim::flushZVULogger();
    EXPECT_TRUE(capture_.contains("<Zevera/Utilities/Network/WARNING> (Message was empty)"));
    EXPECT_TRUE(capture_.contains("<Zevera/Utilities/Network/ERROR> 100% sure: 3, (nil)"));
    EXPECT_TRUE(capture_.containsSubstring(
        "[DOZIvedidi][I-NET000007] <Zevera/Utilities/Network/ERROR> 100% sure: 3, (nil)"));
}

TEST_F(NetworkClientTest, LoggerDelegatesMustImplementTheProtocol) {
    auto logger = std::make_shared<Logger>();
    client_->setLoggerDelegate(logger);
    client_->setLoggerDelegate(std::make_shared<NSObject>());
    client_->setLoggerDelegate(nullptr);
    sim::flushZVULogger();
    EXPECT_EQ(capture_.count(
                  " - [DOZIvedidi][I-NET900002] Cannot set the network logger delegate: delegate "
                  "does not conform to the network logger protocol."),
              2u);
    EXPECT_EQ(client_->loggerDelegate(), logger);
    server_.setResponse("/u", sim::ScriptedResponse::text(200, "ok"));
    Result r;
    ASSERT_TRUE(client_->postURL(url("/u"), Data{'p'}, nullptr, false, record(r)));
    wait(r);
    ASSERT_FALSE(logger->lines.empty());
    EXPECT_EQ(logger->lines[0], (std::pair<long, std::string>{900000, "Uploading data. Host"}));
}

TEST_F(NetworkClientTest, ReachabilityDrivesTheConnectedFlag) {
    EXPECT_FALSE(DOZIvedidi::initWithReachabilityHost(""));
    auto watcher = std::make_shared<Watcher>();
    sim::setReachabilityFlags(0);
    auto client = DOZIvedidi::initWithReachabilityHost("upload.example.com");
    client->setReachabilityDelegate(watcher);
    EXPECT_FALSE(client->isNetworkConnected());
    sim::MainLoop::runUntilIdle();
    EXPECT_FALSE(client->isNetworkConnected());
    EXPECT_EQ(watcher->changes, 1);
    sim::setReachabilityFlags(kSCNetworkReachabilityFlagsReachable);
    sim::MainLoop::runUntilIdle();
    EXPECT_TRUE(client->isNetworkConnected());
    EXPECT_EQ(watcher->changes, 2);
    client.reset();
    sim::setReachabilityFlags(0);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(watcher->changes, 2);
}

TEST_F(NetworkClientTest, AGoneClientNeverCallsBack) {
    auto slow = sim::ScriptedResponse::text(200, "late");
    slow.delay = 100ms;
    server_.setResponse("/slow", slow);
    Result r;
    ASSERT_TRUE(client_->getURL(url("/slow"), {}, nullptr, false, record(r)));
    client_.reset();
    ASSERT_TRUE(server_.waitForRequests(1, 5s));
    ASSERT_TRUE(sim::MainLoop::runUntil([] { return sim::activeTransferCount() == 0; }, 5s));
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(r.calls, 0);
}
