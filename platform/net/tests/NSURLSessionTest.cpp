#include "platform/net/NSURLSession.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/bundle/Home.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/testing/TestServer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

Data bytes(const std::string& s) {
    return Data(s.begin(), s.end());
}
std::string text(const Data& d) {
    return std::string(d.begin(), d.end());
}

std::string gzip(const std::string& input, int level = Z_DEFAULT_COMPRESSION) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, input.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Records every delegate call as a line, in order.
struct Recorder : NSURLSessionDelegate {
    std::vector<std::string> events;
    Data data;
    std::string downloaded;
    std::optional<NSError> error;
    bool completed = false;
    bool invalidated = false;
    std::optional<bool> followRedirects;
    std::optional<NSURLSessionAuthChallengeDisposition> challengeAnswer;
    std::optional<NSURLAuthenticationChallenge> challenge;

    void URLSession(const Session&, const std::optional<NSError>&) override {
        events.push_back("invalid");
        invalidated = true;
    }
    void URLSession(const Session&, const Task&, const NSURLAuthenticationChallenge& c,
                    ChallengeCompletion completion) override {
        events.push_back("challenge");
        challenge = c;
        completion(
            challengeAnswer.value_or(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling),
            NSURLCredential::credentialForTrust(c.protectionSpace.serverTrust));
    }
    void URLSession(const Session&, const Task&, const std::shared_ptr<NSHTTPURLResponse>& r,
                    const NSURLRequest& next, RedirectCompletion completion) override {
        events.push_back("redirect " + std::to_string(r->statusCode()));
        if (followRedirects.value_or(true)) {
            completion(next);
        } else {
            completion(std::nullopt);
        }
    }
    void URLSession(const Session&, const std::shared_ptr<NSURLSessionDataTask>&,
                    const std::shared_ptr<NSURLResponse>&) override {
        events.push_back("response");
    }
    void URLSession(const Session&, const std::shared_ptr<NSURLSessionDataTask>&,
                    const Data& chunk) override {
        if (events.empty() || events.back() != "data") events.push_back("data");
        data.insert(data.end(), chunk.begin(), chunk.end());
    }
    void URLSession(const Session&, const std::shared_ptr<NSURLSessionDownloadTask>&,
                    const NSURL& location) override {
        events.push_back("downloaded");
        std::ifstream in(location.path(), std::ios::binary);
        downloaded.assign(std::istreambuf_iterator<char>(in), {});
    }
    void URLSession(const Session&, const Task&, const std::optional<NSError>& e) override {
        EXPECT_FALSE(completed) << "completed twice";
        events.push_back("complete");
        error = e;
        completed = true;
    }
};

class URLSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = fs::temp_directory_path() /
                ("lumbrel-net-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home_);
        fs::create_directories(home_);
        sim::setHomeOverride(home_.string());
        recorder_ = std::make_shared<Recorder>();
        session_ = NSURLSession::sessionWithConfiguration(
            NSURLSessionConfiguration::ephemeralSessionConfiguration(), recorder_,
            DispatchQueue::main());
    }
    void TearDown() override {
        session_->invalidateAndCancel();
        sim::MainLoop::runUntilIdle();
        sim::clearServiceHostOverride();
        sim::setNetworkConnected(true);
        sim::resetServerTrust();
        sim::useRealClock();
        sim::clearHomeOverride();
        fs::remove_all(home_);
    }
    // A real-time guard only; bodies of the maximum length take a while
    // under the sanitizers.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::seconds guard = 10s) {
        return sim::MainLoop::runUntil(done, guard);
    }
    NSURLRequest request(const std::string& path) {
        return NSURLRequest(*NSURL::URLWithString(server_.url(path)));
    }
    std::shared_ptr<NSHTTPURLResponse> httpResponse(const std::shared_ptr<NSURLSessionTask>& t) {
        return std::dynamic_pointer_cast<NSHTTPURLResponse>(t->response());
    }

    fs::path home_;
    sim::TestServer server_;
    std::shared_ptr<Recorder> recorder_;
    std::shared_ptr<NSURLSession> session_;
};

}  // namespace

TEST_F(URLSessionTest, DataTaskDeliversStatusHeadersAndBodyOnceOnTheDelegateQueue) {
    auto script = sim::ScriptedResponse::text(404, "missing");
    script.headers.emplace("X-Reply", "yes");
    server_.setResponse("/thing", script);
    auto config = NSURLSessionConfiguration::defaultSessionConfiguration();
    config->setHTTPAdditionalHeaders({{"X-Session", "s"}, {"X-Both", "session"}});
    auto session = NSURLSession::sessionWithConfiguration(config, nullptr, DispatchQueue::main());
    auto req = request("/thing?q=1");
    req.setValue("request", "X-Both");

    int calls = 0;
    std::optional<Data> body;
    std::shared_ptr<NSURLResponse> response;
    std::optional<NSError> error;
    auto task = session->dataTaskWithRequest(req, [&](auto d, auto r, auto e) {
        EXPECT_TRUE(NSThread::isMainThread());
        ++calls;
        body = d;
        response = r;
        error = e;
    });
    task->resume();
    task->resume();
    ASSERT_TRUE(pumpUntil([&] { return calls > 0; }));
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(error);
    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response);
    ASSERT_TRUE(http);
    EXPECT_EQ(http->statusCode(), 404);
    EXPECT_EQ(http->valueForHTTPHeaderField("x-reply"), "yes");
    EXPECT_EQ(http->URL().absoluteString(), server_.url("/thing?q=1"));
    EXPECT_EQ(text(*body), "missing");
    EXPECT_EQ(task->state(), NSURLSessionTaskState::Completed);

    auto seen = server_.requests().at(0);
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.query, "q=1");
    EXPECT_EQ(seen.header("X-Session"), "s");
    EXPECT_EQ(seen.header("X-Both"), "request");
    session->finishTasksAndInvalidate();
}

TEST_F(URLSessionTest, UploadsFromMemoryAndFileReachTheServerAndTheDelegateInOrder) {
    server_.setResponse("/up", sim::ScriptedResponse::text(200, "stored"));
    std::string payload(100000, 'p');
    fs::path file = home_ / "upload.bin";
    std::ofstream(file, std::ios::binary) << payload;

    auto req = request("/up");
    req.HTTPMethod = "POST";
    req.setValue("application/x-www-form-urlencoded", "Content-Type");
    for (bool fromFile : {false, true}) {
        *recorder_ = Recorder();
        auto task =
            fromFile ? session_->uploadTaskWithRequest(req, NSURL::fileURLWithPath(file.string()))
                     : session_->uploadTaskWithRequest(req, bytes(payload));
        task->resume();
        ASSERT_TRUE(pumpUntil([&] { return recorder_->completed; }));
        EXPECT_EQ(recorder_->events, (std::vector<std::string>{"response", "data", "complete"}));
        EXPECT_EQ(text(recorder_->data), "stored");
        EXPECT_FALSE(recorder_->error);
        EXPECT_EQ(task->countOfBytesSent(), static_cast<std::int64_t>(payload.size()));
    }
    auto seen = server_.requests();
    ASSERT_EQ(seen.size(), 2u);
    for (const auto& r : seen) {
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(r.body, payload);
        EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded");
        EXPECT_FALSE(r.header("Expect"));
    }
}

TEST_F(URLSessionTest, DownloadGivesAFileThatIsGoneAfterTheCallback) {
    server_.setResponse("/file", sim::ScriptedResponse::text(200, "file contents"));
    std::optional<NSURL> location;
    bool existed = false;
    auto task = session_->downloadTaskWithRequest(request("/file"));
    task->resume();
    ASSERT_TRUE(pumpUntil([&] { return recorder_->completed; }));
    EXPECT_EQ(recorder_->events, (std::vector<std::string>{"downloaded", "complete"}));
    EXPECT_EQ(recorder_->downloaded, "file contents");

    auto withHandler = NSURLSession::sessionWithConfiguration(
        NSURLSessionConfiguration::defaultSessionConfiguration(), nullptr, DispatchQueue::main());
    bool done = false;
    withHandler
        ->downloadTaskWithRequest(request("/file"),
                                  [&](auto url, auto, auto error) {
                                      EXPECT_FALSE(error);
                                      location = url;
                                      existed = url && fs::exists(url->path());
                                      done = true;
                                  })
        ->resume();
    ASSERT_TRUE(pumpUntil([&] { return done; }));
    ASSERT_TRUE(location);
    EXPECT_TRUE(existed);
    EXPECT_FALSE(fs::exists(location->path()));
    EXPECT_EQ(location->path().rfind(home_.string(), 0), 0u);
}

TEST_F(URLSessionTest, RedirectsAskTheDelegateAndFollowThePlatformsMethodRules) {
    struct Case {
        int status;
        std::string method;
        bool follow;
        std::string finalMethod;  // empty: not followed
    };
    for (const Case& c : {Case{301, "POST", false, ""}, Case{301, "POST", true, "GET"},
                          Case{303, "POST", true, "GET"}, Case{307, "POST", true, "POST"},
                          Case{302, "GET", true, "GET"}}) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.method);
        server_.clearRequests();
        server_.enqueue("/from", sim::ScriptedResponse::redirect(c.status, "/to"));
        server_.setResponse("/to", sim::ScriptedResponse::text(200, "arrived"));
        *recorder_ = Recorder();
        recorder_->followRedirects = c.follow;
        auto req = request("/from");
        req.HTTPMethod = c.method;
        auto task = c.method == "POST" ? session_->uploadTaskWithRequest(req, bytes("body"))
                                       : session_->dataTaskWithRequest(req);
        task->resume();
        ASSERT_TRUE(pumpUntil([&] { return recorder_->completed; }));
        EXPECT_FALSE(recorder_->error);
        EXPECT_EQ(recorder_->events.front(), "redirect " + std::to_string(c.status));
        auto seen = server_.requests();
        if (c.finalMethod.empty()) {
            EXPECT_EQ(httpResponse(task)->statusCode(), c.status);
            EXPECT_EQ(text(recorder_->data), "redirect");
            EXPECT_EQ(seen.size(), 1u);
        } else {
            EXPECT_EQ(httpResponse(task)->statusCode(), 200);
            EXPECT_EQ(text(recorder_->data), "arrived");
            ASSERT_EQ(seen.size(), 2u);
            EXPECT_EQ(seen[1].method, c.finalMethod);
            EXPECT_EQ(seen[1].body, c.finalMethod == "POST" ? "body" : "");
            EXPECT_EQ(task->currentRequest().URL->path(), "/to");
        }
    }
}

TEST_F(URLSessionTest, FailuresCarryThePlatformsErrorCodes) {
    auto drop = sim::ScriptedResponse::text(200, std::string(5000, 'x'));
    drop.dropAfterBytes = 100;
    server_.setResponse("/drop", drop);
    auto slow = sim::ScriptedResponse::text(200, "late");
    slow.delay = 5000ms;
    server_.setResponse("/slow", slow);
    sim::TestServer closed;
    std::string closedURL = closed.url("/x");
    closed.stop();

    struct Case {
        std::string name;
        std::function<std::shared_ptr<NSURLSessionTask>()> start;
        long long code;
        bool hasResponse;
    };
    std::vector<Case> cases = {
        {"cannot connect",
         [&] {
             return session_->dataTaskWithRequest(NSURLRequest(*NSURL::URLWithString(closedURL)));
         },
         NSURLErrorCannotConnectToHost, false},
        {"connection lost after the response",
         [&] { return session_->dataTaskWithRequest(request("/drop")); },
         NSURLErrorNetworkConnectionLost, true},
        {"timed out",
         [&] {
             auto r = request("/slow");
             r.timeoutInterval = 0.2;
             return session_->dataTaskWithRequest(r);
         },
         NSURLErrorTimedOut, false},
        {"not connected",
         [&] {
             sim::setNetworkConnected(false);
             return session_->dataTaskWithRequest(request("/x"));
         },
         NSURLErrorNotConnectedToInternet, false},
        {"unsupported scheme",
         [&] {
             return session_->dataTaskWithRequest(NSURLRequest(*NSURL::URLWithString("ftp://h/x")));
         },
         NSURLErrorUnsupportedURL, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        *recorder_ = Recorder();
        auto task = c.start();
        task->resume();
        ASSERT_TRUE(pumpUntil([&] { return recorder_->completed; }));
        sim::setNetworkConnected(true);
        ASSERT_TRUE(recorder_->error);
        EXPECT_EQ(recorder_->error->domain, NSURLErrorDomain);
        EXPECT_EQ(recorder_->error->code, c.code);
        EXPECT_EQ(task->response() != nullptr, c.hasResponse);
        EXPECT_EQ(recorder_->events.back(), "complete");
    }
}

TEST_F(URLSessionTest, CancelCompletesOnceWithCancelledAndStopsTheTransfer) {
    auto slow = sim::ScriptedResponse::text(200, "late");
    slow.delay = 5000ms;
    server_.setResponse("/slow", slow);
    auto task = session_->dataTaskWithRequest(request("/slow"));
    task->resume();
    ASSERT_TRUE(server_.waitForRequests(1, 5s));
    task->cancel();
    task->cancel();
    ASSERT_TRUE(pumpUntil([&] { return recorder_->completed; }));
    EXPECT_EQ(recorder_->error->code, NSURLErrorCancelled);
    EXPECT_TRUE(pumpUntil([] { return sim::activeTransferCount() == 0; }));
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(recorder_->events, (std::vector<std::string>{"complete"}));
}

TEST_F(URLSessionTest, TimeOutsFollowTheVirtualClock) {
    sim::useVirtualClock();
    auto slow = sim::ScriptedResponse::text(200, "late");
    slow.delay = 10000ms;
    server_.setResponse("/slow", slow);
    auto r = request("/slow");
    r.timeoutInterval = 30;
    auto task = session_->dataTaskWithRequest(r);
    task->resume();
    ASSERT_TRUE(server_.waitForRequests(1, 5s));
    sim::advanceClock(sim::seconds(29));
    sim::MainLoop::runFor(50ms);
    EXPECT_FALSE(recorder_->completed);
    sim::advanceClock(sim::seconds(2));
    ASSERT_TRUE(pumpUntil([&] { return recorder_->completed; }));
    EXPECT_EQ(recorder_->error->code, NSURLErrorTimedOut);
}

TEST_F(URLSessionTest, GzipBodiesAreInflatedOnTheWay) {
    auto script = sim::ScriptedResponse::text(200, gzip("plain text after inflating"));
    script.headers.emplace("Content-Encoding", "gzip");
    server_.setResponse("/z", script);
    auto task = session_->dataTaskWithRequest(request("/z"));
    task->resume();
    ASSERT_TRUE(pumpUntil([&] { return recorder_->completed; }));
    EXPECT_FALSE(recorder_->error);
    EXPECT_EQ(text(recorder_->data), "plain text after inflating");

    auto broken = sim::ScriptedResponse::text(200, "not gzip at all");
    broken.headers.emplace("Content-Encoding", "gzip");
    server_.setResponse("/bad", broken);
    *recorder_ = Recorder();
    session_->dataTaskWithRequest(request("/bad"))->resume();
    ASSERT_TRUE(pumpUntil([&] { return recorder_->completed; }));
    ASSERT_TRUE(recorder_->error);
    EXPECT_EQ(recorder_->error->code, NSURLErrorCannotDecodeContentData);
}

TEST_F(URLSessionTest, BodiesInMemoryOrInflatedStopAtTheMaximumLength) {
    const std::string tooLong(kURLSessionMaximumBodyLength + 1, 'z');
    auto bomb = sim::ScriptedResponse::text(200, gzip(tooLong, Z_BEST_SPEED));
    bomb.headers.emplace("Content-Encoding", "gzip");
    server_.setResponse("/bomb", bomb);
    server_.setResponse("/big", sim::ScriptedResponse::text(200, tooLong));
    auto justFits = sim::ScriptedResponse::text(
        200, gzip(std::string(kURLSessionMaximumBodyLength, 'z'), Z_BEST_SPEED));
    justFits.headers.emplace("Content-Encoding", "gzip");
    server_.setResponse("/fits", justFits);

    struct Case {
        const char* name;
        const char* path;
        bool download;
        std::optional<long long> code;
        std::size_t received = 0;  // when it succeeds
    };
    const std::size_t limit = kURLSessionMaximumBodyLength;
    for (const Case& c : {
             Case{"inflated into memory", "/bomb", false, NSURLErrorDataLengthExceedsMaximum},
             Case{"inflated into a file", "/bomb", true, NSURLErrorDataLengthExceedsMaximum},
             Case{"plain into memory", "/big", false, NSURLErrorDataLengthExceedsMaximum},
             Case{"plain into a file", "/big", true, std::nullopt, limit + 1},
             Case{"inflated to the limit", "/fits", false, std::nullopt, limit},
         }) {
        SCOPED_TRACE(c.name);
        *recorder_ = Recorder();
        auto task = c.download ? std::shared_ptr<NSURLSessionTask>(
                                     session_->downloadTaskWithRequest(request(c.path)))
                               : session_->dataTaskWithRequest(request(c.path));
        task->resume();
        ASSERT_TRUE(pumpUntil([&] { return recorder_->completed; }, 120s));
        EXPECT_EQ(
            recorder_->error ? std::optional<long long>(recorder_->error->code) : std::nullopt,
            c.code);
        if (!c.code) {
            EXPECT_EQ(c.download ? recorder_->downloaded.size() : recorder_->data.size(),
                      c.received);
        }
    }
}

TEST_F(URLSessionTest, HttpsServiceHostsGoToTheLocalBackendThroughATrustChallenge) {
    sim::setServiceHostOverride(server_.url());
    server_.setResponse("/v1/upload", sim::ScriptedResponse::text(200, "ok"));
    auto remote = NSURLRequest(*NSURL::URLWithString("https://svc.example.com/v1/upload?k=v"));

    struct Case {
        std::string name;
        std::optional<NSURLSessionAuthChallengeDisposition> answer;
        SecTrustResultType trust;
        std::optional<long long> code;
    };
    using D = NSURLSessionAuthChallengeDisposition;
    for (const Case& c :
         {Case{"default, trusted", std::nullopt, kSecTrustResultUnspecified, std::nullopt},
          Case{"default, recoverable failure", std::nullopt, kSecTrustResultRecoverableTrustFailure,
               NSURLErrorServerCertificateUntrusted},
          Case{"credential despite distrust", D::UseCredential, kSecTrustResultDeny, std::nullopt},
          Case{"cancelled", D::CancelAuthenticationChallenge, kSecTrustResultProceed,
               NSURLErrorCancelled}}) {
        SCOPED_TRACE(c.name);
        server_.clearRequests();
        sim::setServerTrustResult(c.trust);
        *recorder_ = Recorder();
        recorder_->challengeAnswer = c.answer;
        auto task = session_->dataTaskWithRequest(remote);
        task->resume();
        ASSERT_TRUE(pumpUntil([&] { return recorder_->completed; }));
        ASSERT_TRUE(recorder_->challenge);
        EXPECT_EQ(recorder_->challenge->protectionSpace.host, "svc.example.com");
        EXPECT_EQ(recorder_->challenge->protectionSpace.authenticationMethod,
                  std::string(NSURLAuthenticationMethodServerTrust));
        EXPECT_EQ(
            recorder_->error ? std::optional<long long>(recorder_->error->code) : std::nullopt,
            c.code);
        EXPECT_EQ(server_.requestCount(), c.code ? 0u : 1u);
        if (!c.code) {
            auto seen = server_.requests().at(0);
            EXPECT_EQ(seen.path, "/v1/upload");
            EXPECT_EQ(seen.query, "k=v");
            EXPECT_EQ(seen.header("X-Forwarded-Host"), "svc.example.com");
            EXPECT_EQ(httpResponse(task)->URL().host(), "svc.example.com");
        }
    }
}

TEST_F(URLSessionTest, InvalidationWaitsForTasksThenReleasesTheDelegate) {
    server_.setResponse("/a", sim::ScriptedResponse::text(200, "a"));
    std::weak_ptr<Recorder> weak = recorder_;
    auto task = session_->dataTaskWithRequest(request("/a"));
    task->resume();
    session_->finishTasksAndInvalidate();
    EXPECT_EQ(session_->dataTaskWithRequest(request("/a")), nullptr);
    auto recorder = recorder_;
    recorder_.reset();
    ASSERT_TRUE(pumpUntil([&] { return recorder->invalidated; }));
    EXPECT_EQ(recorder->events,
              (std::vector<std::string>{"response", "data", "complete", "invalid"}));
    EXPECT_EQ(session_->delegate(), nullptr);
    recorder.reset();
    EXPECT_TRUE(weak.expired());
}

TEST_F(URLSessionTest, CachedResponsesAreServedOnlyWhereACacheAndThePolicyAllow) {
    auto cacheable = sim::ScriptedResponse::text(200, "cached body");
    cacheable.headers.emplace("Cache-Control", "max-age=600");
    server_.setResponse("/c", cacheable);
    auto withCache = NSURLSessionConfiguration::ephemeralSessionConfiguration();
    auto noCache = NSURLSessionConfiguration::ephemeralSessionConfiguration();
    noCache->setURLCache(nullptr);
    struct Case {
        std::shared_ptr<NSURLSessionConfiguration> config;
        NSURLRequestCachePolicy policy;
        std::size_t requests;  // for two identical GETs
    };
    for (const Case& c :
         {Case{withCache, NSURLRequestCachePolicy::UseProtocolCachePolicy, 1},
          Case{withCache->copy(), NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData, 2},
          Case{noCache, NSURLRequestCachePolicy::UseProtocolCachePolicy, 2}}) {
        c.config->setURLCache(c.config->URLCache() ? std::make_shared<NSURLCache>() : nullptr);
        server_.clearRequests();
        auto session =
            NSURLSession::sessionWithConfiguration(c.config, nullptr, DispatchQueue::main());
        for (int i = 0; i < 2; ++i) {
            auto r = request("/c");
            r.cachePolicy = c.policy;
            std::optional<Data> body;
            session->dataTaskWithRequest(r, [&](auto d, auto, auto) { body = d; })->resume();
            ASSERT_TRUE(pumpUntil([&] { return body.has_value(); }));
            EXPECT_EQ(text(*body), "cached body");
        }
        EXPECT_EQ(server_.requestCount(), c.requests);
        session->finishTasksAndInvalidate();
    }
}

TEST_F(URLSessionTest, BackgroundSessionsUploadOnlyFromFiles) {
    auto config = NSURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("bg.id");
    auto session = NSURLSession::sessionWithConfiguration(config, recorder_, DispatchQueue::main());
    EXPECT_EQ(session->configuration()->identifier(), "bg.id");
    auto req = request("/up");
    req.HTTPMethod = "POST";
    EXPECT_EQ(session->uploadTaskWithRequest(req, bytes("x")), nullptr);
    EXPECT_EQ(session->dataTaskWithRequest(req, [](auto, auto, auto) {}), nullptr);

    server_.setResponse("/up", sim::ScriptedResponse::text(200, "ok"));
    fs::path file = home_ / "body";
    std::ofstream(file) << "from file";
    session->uploadTaskWithRequest(req, NSURL::fileURLWithPath(file.string()))->resume();
    ASSERT_TRUE(pumpUntil([&] { return recorder_->completed; }));
    EXPECT_EQ(server_.requests().at(0).body, "from file");

    *recorder_ = Recorder();
    session->uploadTaskWithRequest(req, NSURL::fileURLWithPath((home_ / "missing").string()))
        ->resume();
    ASSERT_TRUE(pumpUntil([&] { return recorder_->completed; }));
    EXPECT_EQ(recorder_->error->code, NSURLErrorFileDoesNotExist);
    session->invalidateAndCancel();
}

// Queue workers may still ask for the shared session while static objects are
// destroyed at exit: a handler registered before its first use runs after that
// and must still find it alive.
namespace {
std::weak_ptr<NSURLSession> gSharedSessionAtExit;
}  // namespace

TEST(URLSessionSharedTest, TheSharedSessionOutlivesStaticDestruction) {
    EXPECT_EXIT(
        {
            std::atexit([] { std::_Exit(gSharedSessionAtExit.expired() ? 1 : 7); });
            gSharedSessionAtExit = NSURLSession::sharedSession();
            std::exit(0);
        },
        ::testing::ExitedWithCode(7), "");
}
