#pragma once
// The simulated hosted services: one HTTP server on 127.0.0.1 (an ephemeral
// port) that speaks the services' wire formats and keeps their state, as the
// real services would. Point the service clients at it with
// sim::setServiceHostOverride(backend.url()).
//
// Each service (one BackendService per file) names the endpoints it answers.
// For every request the backend finds the service and endpoint, records the
// request, then answers with, in this order:
//   1. the next response scripted for that endpoint (a queue),
//   2. the default response scripted for that endpoint,
//   3. the service itself, which decodes the request and keeps its state.
// A scripted response may pass the request on to the service (to delay a
// real answer or add headers) or replace the answer; a replaced answer
// leaves the service's state untouched. Requests no service knows get 404.
//
// Thread-safety: requests are served on the server's threads; every method
// may be called from any thread.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/testing/TestServer.h"

namespace sim {

class InstallationsBackend;
class RemoteConfigBackend;

// What a scripted endpoint answers.
struct BackendScript {
    int status = 200;
    // Absent: the service's own error body for the status (or, with
    // passThrough, the service's answer).
    std::optional<std::string> body;
    TestHeaders headers;
    // Real time before the answer; stopping the backend cuts it short.
    std::chrono::milliseconds delay{0};
    // The service answers as usual (status and body ignored); delay and
    // headers still apply.
    bool passThrough = false;

    static BackendScript withStatus(int status) {
        BackendScript s;
        s.status = status;
        return s;
    }
    static BackendScript delayed(std::chrono::milliseconds delay) {
        BackendScript s;
        s.delay = delay;
        s.passThrough = true;
        return s;
    }
};

struct BackendRequest {
    std::string service;   // "installations", ...
    std::string endpoint;  // "create", ...
    RecordedRequest request;
    int status = 0;         // what was answered
    double wallTime = 0;    // sim::wallClockSeconds() on arrival
    bool scripted = false;  // answered by a script rather than the service
};

// One hosted service: decodes its requests and keeps its state.
class BackendService {
  public:
    virtual ~BackendService() = default;
    virtual std::string name() const = 0;
    virtual std::vector<std::string> endpoints() const = 0;
    // The endpoint the request is for, or nullopt when it is not this
    // service's.
    virtual std::optional<std::string> route(const RecordedRequest& request) const = 0;
    virtual ScriptedResponse handle(const std::string& endpoint,
                                    const RecordedRequest& request) = 0;
    // The body of an error answer with this status, in the service's format.
    virtual std::string errorBody(int status, const std::string& message) const;
    // Forget all state.
    virtual void reset() = 0;
    // A few lines for the console.
    virtual std::string describeState() const = 0;
    // Uploads (or parts of one) that arrived but did not decode.
    virtual std::size_t undecodableUploads() const { return 0; }
};

// An error answer in the common JSON layout
// {"error": {"code": N, "message": "...", "status": "..."}}.
ScriptedResponse backendJSONError(int status, const std::string& message);
ScriptedResponse backendJSON(int status, const std::string& body);

class Backend {
  public:
    // Starts listening at once with every known service.
    Backend();
    ~Backend();
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    // "http://127.0.0.1:PORT".
    std::string url() const;
    int port() const;
    void stop();

    InstallationsBackend& installations();
    RemoteConfigBackend& remoteConfig();
    BackendService* service(const std::string& name);
    std::vector<std::string> serviceNames() const;
    // Every service's uploads that did not decode, summed: a client that
    // writes what it means gets none.
    std::size_t undecodableUploads() const;

    // Scripts, per "service", "endpoint". Unknown names are refused (false).
    bool enqueue(const std::string& service, const std::string& endpoint, BackendScript script);
    bool setDefault(const std::string& service, const std::string& endpoint, BackendScript script);
    void clearScripts();

    // Every request in arrival order; with a service name, only its own.
    std::vector<BackendRequest> requests(const std::string& service = "") const;
    std::vector<BackendRequest> requests(const std::string& service,
                                         const std::string& endpoint) const;
    std::size_t requestCount(const std::string& service = "") const;
    void clearRequests();
    // Waits on a condition (not a sleep) for count requests of the service
    // ("" for any); false when the real-time guard passes first.
    bool waitForRequests(std::size_t count, const std::string& service = "",
                         std::chrono::milliseconds guard = std::chrono::seconds(20)) const;

    // Requests, scripts and every service's state forgotten.
    void reset();

  private:
    bool knows(const std::string& service, const std::string& endpoint);
    std::optional<ScriptedResponse> answer(const RecordedRequest& request);

    struct Endpoint {
        std::deque<BackendScript> queue;
        std::optional<BackendScript> fallback;
    };
    TestServer server_;
    std::vector<std::unique_ptr<BackendService>> services_;
    InstallationsBackend* installations_ = nullptr;
    RemoteConfigBackend* remoteConfig_ = nullptr;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::map<std::pair<std::string, std::string>, Endpoint> scripts_;
    std::vector<BackendRequest> requests_;
};

}  // namespace sim
