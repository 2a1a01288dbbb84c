#pragma once
// A local HTTP server on 127.0.0.1 (an ephemeral port) for tests of network
// code. Each request gets the first scripted response that applies:
//   1. the next one queued for its path,
//   2. the next one queued for any path,
//   3. the handler, when it answers,
//   4. the fixed response for its path,
//   5. the default (404 "Not Found").
// Every request is recorded (method, path, query, headers, body) before it is
// answered. Request bodies sent with Content-Encoding gzip or deflate are
// recorded inflated; the headers are recorded as sent. Response bodies whose
// Content-Type is text or JSON may be compressed on the wire when the client
// accepts it; a script that sets Content-Encoding itself is sent unchanged.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace sim {

struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using TestHeaders = std::multimap<std::string, std::string, CaseInsensitiveLess>;

struct ScriptedResponse {
    int status = 200;
    TestHeaders headers;
    std::string body;
    // Waits this long (real time) before answering; stop() cuts it short.
    std::chrono::milliseconds delay{0};
    // Announces the whole body, sends only this many bytes of it and closes
    // the connection.
    std::optional<std::size_t> dropAfterBytes;

    static ScriptedResponse text(int status, std::string body,
                                 std::string contentType = "application/octet-stream");
    static ScriptedResponse redirect(int status, std::string location);
};

struct RecordedRequest {
    std::string method;
    std::string path;   // without the query
    std::string query;  // without '?'
    TestHeaders headers;
    std::string body;
    // The first value of the header, or nullopt.
    std::optional<std::string> header(const std::string& name) const;
};

class TestServer {
  public:
    using Handler = std::function<std::optional<ScriptedResponse>(const RecordedRequest&)>;

    // Starts listening at once.
    TestServer();
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Listens again on a new ephemeral port after stop(); false on failure.
    bool start();
    // Stops listening and ends delays; requests in flight finish first.
    void stop();
    bool isRunning() const;
    int port() const { return port_; }
    // "http://127.0.0.1:PORT" followed by path.
    std::string url(const std::string& path = "") const;

    void setResponse(const std::string& path, ScriptedResponse response);
    void enqueue(ScriptedResponse response);
    void enqueue(const std::string& path, ScriptedResponse response);
    void setHandler(Handler handler);
    void setDefaultResponse(ScriptedResponse response);

    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;
    void clearRequests();
    // Waits (on a condition, not a sleep) until count requests have arrived.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

    struct Impl;

  private:
    ScriptedResponse pick(const RecordedRequest& request);
    void record(RecordedRequest request);

    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    bool stopping_ = false;
    std::map<std::string, ScriptedResponse> byPath_;
    std::map<std::string, std::deque<ScriptedResponse>> queuedByPath_;
    std::deque<ScriptedResponse> queued_;
    Handler handler_;
    ScriptedResponse default_ = ScriptedResponse::text(404, "Not Found");
    std::vector<RecordedRequest> requests_;
};

}  // namespace sim
