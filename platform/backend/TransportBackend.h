#pragma once
// The event-upload endpoints of the simulated backend, one per target:
//   lgs  POST /v0/log/batch
//   rlg  POST /v1/rzrlog/legacy/batchlog   (logging API host)
//   crs  POST /v1/rzrlog/legacy/batchlog   (crash-reports API host)
//   int  POST /dummy/api/very/long
// The two targets that share a path are told apart by the host the client
// addressed (X-Forwarded-Host). Each request is inflated when gzip-encoded
// and decoded with this file's own protocol-buffer reader; what arrived is
// kept per target. The answer is 200 with an upload reply holding the wait
// set with setWaitMillis (an empty body when none); statuses, bodies,
// "Retry-After" headers and redirects are scripted through the Backend.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/backend/Backend.h"
#include "platform/backend/CrashReports.h"

namespace sim {

class TransportBackend : public BackendService {
  public:
    static constexpr const char* kName = "transport";
    static constexpr const char* kLGS = "lgs";
    static constexpr const char* kRLG = "rlg";
    static constexpr const char* kCRS = "crs";
    static constexpr const char* kINT = "int";

    struct ReceivedEvent {
        std::int32_t sourceID = 0;
        std::int64_t wallTimeMs = 0;
        std::string payload;
        std::optional<std::int32_t> eventCode;
        std::optional<std::int32_t> connectionKind;
    };
    struct ReceivedBatch {
        std::string endpoint;
        std::optional<std::string> apiKey;
        std::string userAgent;
        bool gzipped = false;
        bool decoded = false;  // false: the body was not a valid upload
        std::vector<std::int32_t> sourceIDs;
        std::vector<ReceivedEvent> events;
    };

    std::string name() const override { return kName; }
    std::vector<std::string> endpoints() const override;
    std::optional<std::string> route(const RecordedRequest& request) const override;
    ScriptedResponse handle(const std::string& endpoint, const RecordedRequest& request) override;
    void reset() override;
    std::string describeState() const override;
    // Bodies that are not uploads, and events at the crash target that are
    // not report messages.
    std::size_t undecodableUploads() const override;

    // Decodes an upload body (already inflated); nullopt when it is not one.
    static std::optional<ReceivedBatch> decodeUpload(const std::string& body);

    std::vector<ReceivedBatch> batches(const std::string& endpoint = "") const;
    std::size_t eventCount(const std::string& endpoint = "") const;
    // The report messages of the events that reached the crash target, in
    // order; events that are not report messages are left out.
    std::vector<ReceivedCrashReport> crashReports() const;
    // The wait the service asks for in its replies (nullopt: an empty reply).
    void setWaitMillis(std::optional<std::int64_t> millis);

  private:
    mutable std::mutex mutex_;
    std::vector<ReceivedBatch> batches_;
    std::optional<std::int64_t> waitMillis_;
    std::size_t undecodable_ = 0;
};

}  // namespace sim
