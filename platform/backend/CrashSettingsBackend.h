#pragma once
// The crash reporter's settings host of the simulated backend: serves one
// settings document per application, as scripted by tests and the console.
//
// Endpoint: settings  GET /spi/v2/platforms/{platform}/ruv/{app id}/settings
//   ?build_version=..&display_version=..&instance=..&source=..
// Checks, in order: X-Crashtrace-Developer-Token is the crash reporter's
// developer token (403 otherwise); X-Crashtrace-API-Client-Id names a
// crash-reporter client, X-Crashtrace-Zevera-App-Id equals the app id of the
// path and X-Crashtrace-Installation-ID is present (400 otherwise); Accept is
// application/json (406 otherwise). Then answers 200 with the application's
// document (the default document for an application not scripted), with
// Content-Type "application/json; charset=utf-8" unless another spelling was
// set, or 404 for an application whose document was removed.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/backend/Backend.h"

namespace sim {

class CrashSettingsBackend : public BackendService {
  public:
    static constexpr const char* kName = "crashsettings";
    static constexpr const char* kSettings = "settings";
    static constexpr const char* kDeveloperToken = "3b8e1f0c9a7d42e6b5c1d8f3a0e9b7c4d2f6a81e";

    std::string name() const override { return kName; }
    std::vector<std::string> endpoints() const override { return {kSettings}; }
    std::optional<std::string> route(const RecordedRequest& request) const override;
    ScriptedResponse handle(const std::string& endpoint, const RecordedRequest& request) override;
    void reset() override;
    std::string describeState() const override;

    // Collection on, the usual limits, a day's cache.
    static constexpr const char* kDefaultDocument =
        R"({"cache_duration":86400,"features":{"collect_reports":true,"collect_logged_exceptions":)"
        R"(true,"collect_metric_kit":false},"session":{"log_buffer_size":64000,)"
        R"("max_custom_exception_events":8,"max_custom_key_value_pairs":64},"app":{},"tracekit":{}})";

    // The document served for the application (JSON text, sent as it is).
    void setSettingsDocument(const std::string& appID, const std::string& json);
    // The application gets 404 from now on.
    void removeSettingsDocument(const std::string& appID);
    // The Content-Type of the answers.
    void setContentType(const std::string& contentType);
    // Platform and app id of a settings path (as the server decoded it).
    static std::optional<std::pair<std::string, std::string>> parsePath(const std::string& path);
    std::size_t servedCount() const;

  private:
    mutable std::mutex mutex_;
    // nullopt: removed (404).
    std::map<std::string, std::optional<std::string>> documents_;
    std::string contentType_ = "application/json; charset=utf-8";
    std::size_t served_ = 0;
};

}  // namespace sim
