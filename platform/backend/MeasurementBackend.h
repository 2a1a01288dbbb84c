#pragma once
// The measurement endpoints of the simulated backend:
//   upload  POST /a                 a gzip-compressed measurement batch
//   config  GET  /config/app/<id>   the measurement configuration of an app
//
// Uploads must say "Content-Encoding: gzip" (400 otherwise). The inflated
// body is decoded with this backend's own protocol-buffer reader; every
// bundle that carries a checksum must carry the one computed over its own
// encoding without it (the last 8 bytes of its MD5, big-endian). A batch
// that does not decode, holds no bundle or has a wrong checksum is answered
// 400 and recorded as rejected; otherwise it is answered 200 and its bundles
// are recorded as accepted. Statuses per request are scripted through the
// Backend ("measurement", "upload"); a scripted answer records nothing here.
//
// A configuration fetch answers the configuration set for the app in the
// path: 200 with its encoding and "Last-Modified", 304 (no body) when
// "If-Modified-Since" equals that "Last-Modified", 404 for an app without
// one, or the status set for the app. Every fetch is recorded with its
// query.

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/backend/Backend.h"

namespace sim {

struct MeasurementParam {
    std::string name;
    std::optional<std::string> stringValue;
    std::optional<std::int64_t> intValue;
    std::optional<double> doubleValue;  // float or double on the wire
    std::vector<MeasurementParam> nested;
};

struct MeasurementEvent {
    std::string name;
    std::int64_t timestampMillis = 0;
    std::int64_t previousTimestampMillis = 0;
    std::vector<MeasurementParam> params;
    // The first parameter of that name, or null.
    const MeasurementParam* param(const std::string& name) const;
};

struct MeasurementUserProperty {
    std::string name;
    std::int64_t setTimestampMillis = 0;
    std::optional<std::string> stringValue;
    std::optional<std::int64_t> intValue;
    std::optional<double> doubleValue;
};

struct MeasurementResultData {
    std::vector<std::uint64_t> status;
    std::vector<std::uint64_t> results;
    std::vector<std::pair<std::int32_t, std::int64_t>> dynamicTimestamps;
    std::vector<std::pair<std::int32_t, std::vector<std::int64_t>>> sequenceTimestamps;
};

struct MeasurementAudienceResult {
    std::int32_t audienceID = 0;
    std::optional<MeasurementResultData> current;
    std::optional<MeasurementResultData> previous;
    bool newAudience = false;
};

struct MeasurementBundle {
    std::string appID;
    std::string appInstanceID;
    std::string platform;
    std::string resettableDeviceID;
    std::string vendorDeviceID;
    std::int64_t uploadTimestampMillis = 0;
    std::int64_t uploadLibraryVersion = 0;
    std::int64_t startTimestampMillis = 0;
    std::int64_t endTimestampMillis = 0;
    std::optional<std::int64_t> checksum;
    // Whether the checksum, when present, is the one of the bundle's bytes.
    bool checksumMatches = true;
    std::vector<MeasurementEvent> events;
    std::vector<MeasurementUserProperty> userProperties;
    std::vector<MeasurementAudienceResult> audienceResults;
};

struct MeasurementBatch {
    std::vector<MeasurementBundle> bundles;
};

// Decodes an inflated batch; nullopt (with the reason) when it does not
// decode. Checksums are checked, not enforced: see checksumMatches.
std::optional<MeasurementBatch> decodeMeasurementBatch(const std::string& body,
                                                       std::string* reason = nullptr);
// The checksum of a bundle encoded without its checksum field.
std::int64_t measurementBundleChecksum(const std::string& encodedBundle);

class MeasurementBackend : public BackendService {
  public:
    static constexpr const char* kName = "measurement";
    static constexpr const char* kUpload = "upload";
    static constexpr const char* kConfig = "config";

    struct EventConfig {
        std::string name;
        std::optional<bool> blocklisted;
        std::optional<bool> customConversion;
        std::optional<std::int32_t> samplingRate;
    };
    struct Configuration {
        std::optional<std::int64_t> version;
        // The app ID written into the message: the app's own when absent.
        std::optional<std::string> appID;
        std::vector<std::pair<std::string, std::string>> settings;
        std::vector<EventConfig> events;
        // Encoded audience and program messages, sent as they are.
        std::vector<std::string> audiences;
        std::vector<std::string> programs;
    };
    struct UploadRecord {
        bool accepted = false;
        std::string reason;  // why it was rejected
        std::optional<std::string> contentType;
        MeasurementBatch batch;  // what decoded
    };
    struct ConfigRequest {
        std::string appID;
        std::map<std::string, std::string> query;
        std::optional<std::string> ifModifiedSince;
        int status = 0;
    };

    // The configuration message for an app.
    static std::string encodeConfiguration(const std::string& appID,
                                           const Configuration& configuration);

    std::string name() const override { return kName; }
    std::vector<std::string> endpoints() const override { return {kUpload, kConfig}; }
    std::optional<std::string> route(const RecordedRequest& request) const override;
    ScriptedResponse handle(const std::string& endpoint, const RecordedRequest& request) override;
    void reset() override;
    // One summary line, then one line per recorded upload (the latest ten).
    std::string describeState() const override;

    // What the app's fetches answer. An empty lastModified stamps the
    // current wall-clock time.
    void setConfiguration(const std::string& appID, const Configuration& configuration,
                          const std::string& lastModified = "");
    // Any bytes as the app's configuration body.
    void setConfigurationBody(const std::string& appID, std::string body,
                              const std::string& lastModified = "");
    void removeConfiguration(const std::string& appID);
    // A status the app's fetches answer instead (0 removes it).
    void setConfigurationError(const std::string& appID, int status);
    std::optional<std::string> lastModified(const std::string& appID) const;

    std::vector<UploadRecord> uploads() const;
    // The bundles of accepted uploads, in arrival order.
    std::vector<MeasurementBundle> acceptedBundles() const;
    std::size_t rejectedCount() const;
    std::vector<ConfigRequest> configRequests() const;

  private:
    struct StoredConfig {
        std::string body;
        std::string lastModified;
    };
    ScriptedResponse upload(const RecordedRequest& request);
    ScriptedResponse config(const RecordedRequest& request);

    mutable std::mutex mutex_;
    std::vector<UploadRecord> uploads_;
    std::map<std::string, StoredConfig> configs_;
    std::map<std::string, int> configErrors_;
    std::vector<ConfigRequest> configRequests_;
};

}  // namespace sim
