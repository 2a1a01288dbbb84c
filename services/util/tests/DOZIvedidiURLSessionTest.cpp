#include "services/util/DOZIvedidiURLSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/FileSystem.h"
#include "platform/log/Log.h"
#include "platform/testing/TestServer.h"
#include "services/util/tests/TempHome.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Line {
    ZVULoggerLevel level;
    long code;
    std::string message;
    std::vector<std::string> contexts;
};

// Records the fetcher's log calls; trust evaluation logs from another thread.
struct RecordingLogger : NSObject, DOZIvedidiLoggerDelegate {
    mutable std::mutex mutex;
    std::vector<Line> lines;
    void add(ZVULoggerLevel level, long code, const std::string& message,
             std::vector<std::string> contexts) {
        std::lock_guard lock(mutex);
        lines.push_back({level, code, message, std::move(contexts)});
    }
    void DOZIvedidi_logWithLevel(ZVULoggerLevel level, long code, const std::string& message,
                                 const std::vector<PRMValue>& contexts) override {
        std::vector<std::string> texts;
        for (const auto& c : contexts) texts.push_back(c.description());
        add(level, code, message, texts);
    }
    void DOZIvedidi_logWithLevel(ZVULoggerLevel level, long code, const std::string& message,
                                 const PRMValue& context) override {
        add(level, code, message, {context.description()});
    }
    void DOZIvedidi_logWithLevel(ZVULoggerLevel level, long code,
                                 const std::string& message) override {
        add(level, code, message, {});
    }
    std::vector<long> codes() const {
        std::lock_guard lock(mutex);
        std::vector<long> out;
        for (const auto& l : lines) out.push_back(l.code);
        return out;
    }
    bool has(long code) const {
        auto all = codes();
        return std::find(all.begin(), all.end(), code) != all.end();
    }
};

struct Outcome {
    bool called = false;
    int calls = 0;
    std::shared_ptr<NSHTTPURLResponse> response;
    std::optional<Data> data;
    std::string sessionID;
    std::optional<NSError> error;
};

class FetcherTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::setLogEcho(false); }
    void TearDown() override {
        sim::MainLoop::runUntilIdle();
        sim::FileSystem::clearFailures();
        sim::resetServerTrust();
        sim::useRealClock();
    }
    std::shared_ptr<DOZIvedidiURLSession> fetcher(bool background = false) {
        auto f = DOZIvedidiURLSession::initWithNetworkLoggerDelegate(logger_);
        f->setBackgroundNetworkEnabled(background);
        return f;
    }
    DOZIvedidiURLSession::CompletionHandler record(Outcome& out) {
        return [&out](auto response, auto data, const std::string& id, auto error) {
            EXPECT_TRUE(NSThread::isMainThread());
            out.called = true;
            ++out.calls;
            out.response = response;
            out.data = data;
            out.sessionID = id;
            out.error = error;
        };
    }
    NSURLRequest post(const std::string& path, const std::string& body) {
        NSURLRequest r(*NSURL::URLWithString(server_.url(path)));
        r.HTTPMethod = "POST";
        r.HTTPBody = Data(body.begin(), body.end());
        return r;
    }
    NSURLRequest get(const std::string& path) {
        return NSURLRequest(*NSURL::URLWithString(server_.url(path)));
    }
    void wait(Outcome& out) {
        ASSERT_TRUE(sim::MainLoop::runUntil([&] { return out.called; }, 10s));
        sim::MainLoop::runUntilIdle();
        EXPECT_EQ(out.calls, 1);
    }

    TempHome home_;
    sim::TestServer server_;
    std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
};

std::string text(const std::optional<Data>& d) {
    return d ? std::string(d->begin(), d->end()) : "<none>";
}

void age(const fs::path& file, std::chrono::seconds by) {
    fs::last_write_time(file, fs::file_time_type::clock::now() + by);
}

}  // namespace

TEST_F(FetcherTest, BackgroundPostUploadsFromATemporaryFileThatIsRemovedAfterwards) {
    auto f = fetcher(true);
    fs::path dir = f->networkDirectoryURL().path();
    EXPECT_EQ(
        dir, home_.path() / "Library/Application Support/ZVU/Network/DOZIvedidiTemporaryDirectory");
    fs::path upload = dir / ("ZVUUpload_temp_" + f->sessionID());
    // Set on the server's thread; the reply reaches us through a socket,
    // which the thread sanitizer cannot see as an ordering.
    std::atomic<bool> fileDuringRequest{false};
    server_.setHandler([&](const sim::RecordedRequest&) {
        fileDuringRequest = fs::exists(upload);
        return std::optional(sim::ScriptedResponse::text(201, "created"));
    });
    Outcome out;
    auto id = f->sessionIDFromAsyncPOSTRequest(post("/up", "payload"), record(out));
    ASSERT_TRUE(id);
    EXPECT_EQ(id->rfind("com.zvu.network.background-upload-", 0), 0u);
    EXPECT_EQ(DOZIvedidiURLSession::sessionFromFetcherMapForSessionID(*id), f);
    EXPECT_EQ(f->currentURLSession()->configuration()->identifier(), *id);
    wait(out);
    EXPECT_TRUE(fileDuringRequest.load());
    EXPECT_FALSE(fs::exists(upload));
    EXPECT_FALSE(out.error);
    EXPECT_EQ(out.response->statusCode(), 201);
    EXPECT_EQ(text(out.data), "created");
    EXPECT_EQ(out.sessionID, *id);
    EXPECT_EQ(server_.requests().at(0).body, "payload");
    EXPECT_EQ(DOZIvedidiURLSession::sessionFromFetcherMapForSessionID(*id), nullptr);
}

TEST_F(FetcherTest, AnUnwritableUploadFileFallsBackToAForegroundUpload) {
    server_.setResponse("/up", sim::ScriptedResponse::text(200, "ok"));
    auto f = fetcher(true);
    sim::FileSystem::failNextWrite(ENOSPC);
    Outcome out;
    ASSERT_TRUE(f->sessionIDFromAsyncPOSTRequest(post("/up", "payload"), record(out)));
    EXPECT_FALSE(f->currentURLSession()->configuration()->isBackground());
    wait(out);
    EXPECT_FALSE(out.error);
    EXPECT_EQ(server_.requests().at(0).body, "payload");
    EXPECT_TRUE(logger_->has(901000));
}

TEST_F(FetcherTest, OldAndFutureTemporaryFilesAreRemovedAtStartAndAtCompletion) {
    server_.setResponse("/up", sim::ScriptedResponse::text(200, "ok"));
    auto f = fetcher();
    fs::path dir = f->networkDirectoryURL().path();
    // A missing folder is not worth a log line.
    Outcome first;
    ASSERT_TRUE(f->sessionIDFromAsyncPOSTRequest(post("/up", "x"), record(first)));
    wait(first);
    EXPECT_FALSE(logger_->has(901012));

    fs::create_directories(dir);
    struct Case {
        const char* name;
        std::chrono::seconds offset;
        bool kept;
    };
    std::vector<Case> cases = {{"old", -2h, false}, {"future", 2h, false}, {"young", -10min, true}};
    for (const auto& c : cases) {
        std::ofstream(dir / c.name) << "x";
        age(dir / c.name, c.offset);
    }
    Outcome out;
    ASSERT_TRUE(fetcher()->sessionIDFromAsyncPOSTRequest(post("/up", "y"), record(out)));
    for (const auto& c : cases) EXPECT_EQ(fs::exists(dir / c.name), c.kept) << c.name;
    wait(out);

    // An expired file that appears meanwhile goes at the next completion.
    std::ofstream(dir / "late") << "x";
    age(dir / "late", -3h);
    Outcome get;
    ASSERT_TRUE(fetcher()->sessionIDFromAsyncGETRequest(this->get("/up"), record(get)));
    wait(get);
    EXPECT_FALSE(fs::exists(dir / "late"));
    EXPECT_TRUE(fs::exists(dir / "young"));
}

TEST_F(FetcherTest, RedirectsOfTheRefusedSetEndTheTaskWithTheRedirect) {
    server_.setResponse("/to", sim::ScriptedResponse::text(200, "arrived"));
    struct Case {
        int status;
        long finalStatus;
    };
    for (const Case& c : {Case{301, 301}, Case{302, 302}, Case{307, 307}, Case{300, 300},
                          Case{303, 200}, Case{308, 200}}) {
        SCOPED_TRACE(c.status);
        server_.enqueue("/from", sim::ScriptedResponse::redirect(c.status, "/to"));
        Outcome out;
        ASSERT_TRUE(fetcher()->sessionIDFromAsyncGETRequest(get("/from"), record(out)));
        wait(out);
        EXPECT_FALSE(out.error);
        ASSERT_TRUE(out.response);
        EXPECT_EQ(out.response->statusCode(), c.finalStatus);
        EXPECT_EQ(text(out.data), c.finalStatus == 200 ? "arrived" : "redirect");
    }
}

TEST_F(FetcherTest, TransportErrorsFailTheTaskWithOrWithoutAResponse) {
    auto drop = sim::ScriptedResponse::text(200, std::string(10000, 'x'));
    drop.dropAfterBytes = 100;
    server_.setResponse("/drop", drop);
    sim::TestServer closed;
    std::string closedURL = closed.url("/x");
    closed.stop();

    Outcome cut;
    ASSERT_TRUE(fetcher()->sessionIDFromAsyncPOSTRequest(post("/drop", "x"), record(cut)));
    wait(cut);
    ASSERT_TRUE(cut.error);
    EXPECT_EQ(cut.error->code, NSURLErrorNetworkConnectionLost);
    ASSERT_TRUE(cut.response);
    EXPECT_EQ(cut.response->statusCode(), 200);
    EXPECT_FALSE(cut.data);  // a truncated body is never handed on

    Outcome refused;
    NSURLRequest r(*NSURL::URLWithString(closedURL));
    ASSERT_TRUE(fetcher()->sessionIDFromAsyncGETRequest(r, record(refused)));
    wait(refused);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->domain, NSURLErrorDomain);
    EXPECT_EQ(refused.error->code, NSURLErrorCannotConnectToHost);
    EXPECT_FALSE(refused.response);
    EXPECT_TRUE(logger_->has(901017));
}

TEST_F(FetcherTest, GetsBypassEveryLocalCache) {
    auto cacheable = sim::ScriptedResponse::text(200, "fresh");
    cacheable.headers.emplace("Cache-Control", "max-age=600");
    server_.setResponse("/c", cacheable);
    for (int i = 0; i < 2; ++i) {
        auto f = fetcher();
        Outcome out;
        NSURLRequest r = get("/c");
        r.setValue("yes", "X-Custom");
        r.timeoutInterval = 12;
        ASSERT_TRUE(f->sessionIDFromAsyncGETRequest(r, record(out)));
        auto config = f->currentURLSession()->configuration();
        EXPECT_EQ(config->URLCache(), nullptr);
        EXPECT_EQ(config->timeoutIntervalForRequest(), 12);
        EXPECT_EQ(config->timeoutIntervalForResource(), 12);
        EXPECT_EQ(config->HTTPAdditionalHeaders().at("X-Custom"), "yes");
        wait(out);
        EXPECT_EQ(text(out.data), "fresh");
    }
    EXPECT_EQ(server_.requestCount(), 2u);
}

TEST_F(FetcherTest, ServerTrustIsEvaluatedOffTheMainThread) {
    auto f = fetcher();
    auto session = NSURLSession::sharedSession();
    NSURLAuthenticationChallenge challenge;
    challenge.protectionSpace.host = "svc.example.com";
    challenge.protectionSpace.serverTrust =
        std::make_shared<__SecTrust>(__SecTrust{"svc.example.com"});
    using D = NSURLSessionAuthChallengeDisposition;
    struct Case {
        const char* name;
        std::string method;
        bool withTrust;
        SecTrustResultType result;
        OSStatus status;
        D expected;
        long loggedCode;
    };
    for (const Case& c :
         {Case{"proceed", NSURLAuthenticationMethodServerTrust, true, kSecTrustResultProceed, 0,
               D::UseCredential, 901006},
          Case{"unspecified", NSURLAuthenticationMethodServerTrust, true,
               kSecTrustResultUnspecified, 0, D::UseCredential, 901006},
          Case{"recoverable failure", NSURLAuthenticationMethodServerTrust, true,
               kSecTrustResultRecoverableTrustFailure, 0, D::CancelAuthenticationChallenge, 901007},
          Case{"evaluation error", NSURLAuthenticationMethodServerTrust, true,
               kSecTrustResultProceed, -67808, D::CancelAuthenticationChallenge, 901008},
          Case{"no trust", NSURLAuthenticationMethodServerTrust, false, kSecTrustResultProceed, 0,
               D::PerformDefaultHandling, 901004},
          Case{"other method", NSURLAuthenticationMethodHTTPBasic, true, kSecTrustResultProceed, 0,
               D::PerformDefaultHandling, 0}}) {
        SCOPED_TRACE(c.name);
        sim::setServerTrustResult(c.result, c.status);
        logger_->lines.clear();
        auto ch = challenge;
        ch.protectionSpace.authenticationMethod = c.method;
        if (!c.withTrust) ch.protectionSpace.serverTrust.reset();
        std::atomic<bool> answered{false};
        std::optional<D> disposition;
        std::shared_ptr<NSURLCredential> credential;
        std::mutex m;
        f->URLSession(session, nullptr, ch, [&](D d, std::shared_ptr<NSURLCredential> cred) {
            std::lock_guard lock(m);
            disposition = d;
            credential = cred;
            answered = true;
        });
        ASSERT_TRUE(sim::MainLoop::runUntil([&] { return answered.load(); }, 5s));
        std::lock_guard lock(m);
        EXPECT_EQ(disposition, c.expected);
        EXPECT_EQ(credential != nullptr, c.expected == D::UseCredential);
        if (c.loggedCode) {
            EXPECT_TRUE(logger_->has(c.loggedCode));
        } else {
            EXPECT_TRUE(logger_->codes().empty());
        }
    }
}

TEST_F(FetcherTest, ReplacingAMappedFetcherInvalidatesTheOldOnesSession) {
    auto slow = sim::ScriptedResponse::text(200, "late");
    slow.delay = 200ms;
    server_.setResponse("/slow", slow);
    auto first = fetcher();
    Outcome out;
    auto id = first->sessionIDFromAsyncGETRequest(get("/slow"), record(out));
    ASSERT_TRUE(id);
    auto session = first->currentURLSession();

    auto second = DOZIvedidiURLSession::initWithNetworkLoggerDelegate(nullptr);
    DOZIvedidiURLSession::setSessionInFetcherMap(second, *id);
    EXPECT_TRUE(session->isInvalidated());
    ASSERT_EQ(logger_->lines.size(), 1u);
    EXPECT_EQ(logger_->lines[0].code, 901019);
    EXPECT_EQ(logger_->lines[0].level, ZVULoggerLevel::Info);
    EXPECT_EQ(logger_->lines[0].message.rfind("Discarding session: ", 0), 0u);
    EXPECT_EQ(DOZIvedidiURLSession::sessionFromFetcherMapForSessionID(*id), second);
    DOZIvedidiURLSession::setSessionInFetcherMap(nullptr, *id);
    EXPECT_EQ(DOZIvedidiURLSession::sessionFromFetcherMapForSessionID(*id), nullptr);
    wait(out);  // the running task still finishes once
}

TEST_F(FetcherTest, BackgroundEventsKeepTheSystemHandlerForTheirSession) {
    std::string id = std::string(ZVUNetworkBackgroundSessionPrefix) + "-events";
    int runs = 0;
    DOZIvedidiURLSession::handleEventsForBackgroundURLSessionID("com.other.session",
                                                                [&] { ++runs; });
    EXPECT_EQ(DOZIvedidiURLSession::fetcherWithSessionIdentifier("com.other.session"), nullptr);

    DOZIvedidiURLSession::handleEventsForBackgroundURLSessionID(id, [&] { runs += 10; });
    auto fetcher = DOZIvedidiURLSession::fetcherWithSessionIdentifier(id);
    ASSERT_TRUE(fetcher);
    EXPECT_EQ(fetcher->sessionID(), id);
    EXPECT_EQ(fetcher->loggerDelegate(), nullptr);

    fetcher->setLoggerDelegate(logger_);
    fetcher->addSystemCompletionHandler(nullptr, id);
    fetcher->addSystemCompletionHandler([] {}, "");
    fetcher->addSystemCompletionHandler([&] { runs += 100; }, id);
    EXPECT_EQ(logger_->codes(), (std::vector<long>{901009, 901010, 901011}));

    fetcher->callSystemCompletionHandler(id);
    EXPECT_EQ(runs, 0);  // runs on the main queue
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(runs, 100);
    fetcher->callSystemCompletionHandler(id);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(runs, 100);
}
