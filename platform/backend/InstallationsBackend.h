#pragma once
// The installations service of the simulated backend: creates installations,
// issues auth tokens against their refresh tokens and deletes them, keeping
// an identifier-to-token store per project.
//
// Endpoints (paths under the service's origin):
//   create    POST   /v1/projects/{project}/installations/
//   generate  POST   /v1/projects/{project}/installations/{rid}/authTokens:generate
//   delete    DELETE /v1/projects/{project}/installations/{rid}/
// Every call needs the header X-Zevera-Api-Key (403 without it, or with a
// key outside the accepted set when one is set); generate and delete need
// "Authorization: RIS_v2 <refresh token>" (401 when it does not match, 404
// for an identifier the service does not know). Bodies are JSON; a body that
// does not decode, or a create without "appId" or with an "authVersion"
// other than "RIS_v2", is answered with 400.

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/backend/Backend.h"

namespace sim {

class InstallationsBackend : public BackendService {
  public:
    static constexpr const char* kName = "installations";
    static constexpr const char* kCreate = "create";
    static constexpr const char* kGenerateAuthToken = "generateAuthToken";
    static constexpr const char* kDelete = "delete";

    struct Installation {
        std::string project;
        std::string rid;
        std::string appId;
        std::string sdkVersion;
        std::string refreshToken;
        std::string authToken;
        double authTokenExpiry = 0;  // wall-clock seconds
        // The legacy token sent along at creation, if any.
        std::optional<std::string> migrationAuth;
        int tokensIssued = 0;
    };

    std::string name() const override { return kName; }
    std::vector<std::string> endpoints() const override;
    std::optional<std::string> route(const RecordedRequest& request) const override;
    ScriptedResponse handle(const std::string& endpoint, const RecordedRequest& request) override;
    void reset() override;
    std::string describeState() const override;

    // State.
    std::vector<Installation> installations() const;
    std::optional<Installation> installation(const std::string& project,
                                             const std::string& rid) const;
    std::size_t installationCount() const;
    // Adds or replaces one, as if created earlier.
    void addInstallation(Installation installation);
    // The service forgets it (later calls for it get 404).
    bool forget(const std::string& project, const std::string& rid);

    // Behaviour.
    // Lifetime of issued auth tokens, default 604800 s (one week).
    void setTokenLifetime(long long seconds);
    // The text of "expiresIn": with the unit suffix "s" (the default) or bare.
    void setExpiresInSuffix(bool withSuffix);
    // The service answers the next creation with this identifier instead of
    // the one sent.
    void assignNextIdentifier(const std::string& rid);
    // Only these API keys are accepted (empty: any non-empty key).
    void setAcceptedAPIKeys(std::set<std::string> keys);

  private:
    ScriptedResponse create(const std::string& project, const RecordedRequest& request);
    ScriptedResponse generate(const std::string& project, const std::string& rid,
                              const RecordedRequest& request);
    ScriptedResponse remove(const std::string& project, const std::string& rid,
                            const RecordedRequest& request);
    std::optional<ScriptedResponse> checkAPIKey(const RecordedRequest& request) const;
    std::string issueToken(Installation& installation);  // with mutex_ held

    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Installation> store_;
    long long tokenLifetime_ = 604800;
    bool expiresInSuffix_ = true;
    std::optional<std::string> nextIdentifier_;
    std::set<std::string> acceptedKeys_;
    unsigned long long serial_ = 0;
};

}  // namespace sim
