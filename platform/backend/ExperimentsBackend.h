#pragma once
// The experiments endpoint of the simulated backend:
//   fetch  POST /sdk-exp
// The request body is a gzip-compressed experiment request (Content-Encoding
// gzip, 400 otherwise), decoded with this file's own protocol-buffer reader
// (400 when it does not decode) and kept. The answer is 200 with a
// gzip-compressed experiment response that the client inflates itself: the
// snapshot set for each requested SDK name (in the response's snapshot list,
// or inside the per-SDK answers when so configured) and the error code set
// for each. Statuses and bodies are scripted through the Backend.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/backend/Backend.h"

namespace sim {

class ExperimentsBackend : public BackendService {
  public:
    static constexpr const char* kName = "experiments";
    static constexpr const char* kFetch = "fetch";

    using FlagValue = std::variant<std::int64_t, std::string, double, bool>;
    struct Flag {
        std::string name;
        FlagValue value;
    };
    struct Experiment {
        // Absent: the field is left out (the client reads 0, launched flags).
        std::optional<std::int32_t> id;
        std::vector<Flag> flags;
    };
    struct ReceivedClient {
        std::string sdkName;
        std::string hashedDiversionKey;
        std::int64_t version = 0;
        std::optional<std::string> appID;
        std::map<std::string, std::string> customProperties;
    };
    struct ReceivedRequest {
        std::string platform;
        std::string osVersion;
        std::string deviceModel;
        std::optional<std::string> language;
        std::string bundleID;
        bool fromAppStore = false;
        std::int64_t libraryVersion = 0;
        std::vector<ReceivedClient> clients;
    };

    std::string name() const override { return kName; }
    std::vector<std::string> endpoints() const override { return {kFetch}; }
    std::optional<std::string> route(const RecordedRequest& request) const override;
    ScriptedResponse handle(const std::string& endpoint, const RecordedRequest& request) override;
    void reset() override;
    std::string describeState() const override;

    // Decodes a request body (already inflated); nullopt when it is not one.
    static std::optional<ReceivedRequest> decodeRequest(const std::string& body);
    // The response message for these snapshots and errors, not compressed.
    static std::string encodeResponse(
        const std::map<std::string, std::vector<Experiment>>& snapshots,
        const std::map<std::string, std::uint32_t>& errors, bool inSdkResponses);
    static std::string gzip(const std::string& data);

    // What the service assigns per SDK name.
    void setSnapshot(const std::string& sdkName, std::vector<Experiment> experiments);
    void removeSnapshot(const std::string& sdkName);
    void setError(const std::string& sdkName, std::uint32_t code);
    // Snapshots go inside the per-SDK answers rather than the snapshot list.
    void setSnapshotsInSdkResponses(bool inSdkResponses);

    std::vector<ReceivedRequest> received() const;
    // What the service assigns now, per SDK name.
    std::map<std::string, std::vector<Experiment>> snapshots() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<Experiment>> snapshots_;
    std::map<std::string, std::uint32_t> errors_;
    bool inSdkResponses_ = false;
    std::vector<ReceivedRequest> received_;
};

}  // namespace sim
