#pragma once
// The remote-configuration service of the simulated backend: keeps a
// template (entries, personalization, experiment descriptions) per project
// and namespace, and answers fetches with it.
//
// Endpoint: fetch  POST /v1/projects/{project}/namespaces/{namespace}:fetch?key=API_KEY
// Checks, in order: the "key" query parameter (403 without it), the
// installation auth token in x-zevera-reruzera-installations-auth (401 when
// missing, or in strict mode when not one the installations service of this
// backend issued), Content-Type
// application/json, X-Ios-Bundle-Identifier and Content-Encoding gzip (400
// otherwise), then inflates the body and parses the request text (400 when
// either fails). Answers 200 with {"state": ...}: NO_TEMPLATE without a
// template, NO_CHANGE when if-none-match names the current ETag,
// EMPTY_CONFIG for a template without entries, else UPDATE with "entries",
// "personalizationMetadata" and "experimentDescriptions"; every answer for a
// template carries its ETag in the "etag" header.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/backend/Backend.h"

namespace sim {

class RemoteConfigBackend : public BackendService {
  public:
    static constexpr const char* kName = "remoteconfig";
    static constexpr const char* kFetch = "fetch";

    explicit RemoteConfigBackend(InstallationsBackend* installations)
        : installations_(installations) {}

    std::string name() const override { return kName; }
    std::vector<std::string> endpoints() const override { return {kFetch}; }
    std::optional<std::string> route(const RecordedRequest& request) const override;
    ScriptedResponse handle(const std::string& endpoint, const RecordedRequest& request) override;
    void reset() override;
    std::string describeState() const override;

    // The request text "{key:'value', ...}" (quotes and backslashes escaped
    // with a backslash; analytics_user_properties as bare JSON); nullopt
    // when it does not parse.
    static std::optional<std::map<std::string, std::string>> parseRequestText(
        const std::string& text);

    // Template control. Each change makes a new ETag.
    void setValue(const std::string& project, const std::string& ns, const std::string& key,
                  const std::string& value);
    void removeValue(const std::string& project, const std::string& ns, const std::string& key);
    // The JSON text of the personalization object / experiment list.
    void setPersonalization(const std::string& project, const std::string& ns,
                            const std::string& json);
    void setExperiments(const std::string& project, const std::string& ns, const std::string& json);
    void removeTemplate(const std::string& project, const std::string& ns);
    std::map<std::string, std::string> values(const std::string& project,
                                              const std::string& ns) const;
    std::optional<std::string> etag(const std::string& project, const std::string& ns) const;
    // The fields of the last request text received.
    std::map<std::string, std::string> lastRequestFields() const;
    std::size_t fetchCount() const;
    // Strict mode: only tokens the installations service of this backend
    // issued are accepted (off by default: a token issued by the backend of
    // an earlier run is good too).
    void setStrictAuthTokens(bool strict);

  private:
    struct Template {
        std::map<std::string, std::string> entries;
        std::string personalization = "{}";
        std::string experiments = "[]";
        int version = 0;
    };
    Template& edit(const std::string& project, const std::string& ns);  // with mutex_ held

    InstallationsBackend* installations_;
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Template> templates_;
    std::map<std::string, std::string> lastFields_;
    std::size_t fetches_ = 0;
    bool strictTokens_ = false;
};

}  // namespace sim
