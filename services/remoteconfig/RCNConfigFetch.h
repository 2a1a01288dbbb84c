#pragma once
// One remote-configuration fetch for one fully qualified namespace: decides
// whether a fetch may go out (minimum interval, a fetch already running,
// backoff), gets the installation identity, posts the gzip request text and
// applies the answer to the content, the experiments and the settings.
//
// Every state change runs on the shared remote-configuration queue; the
// completion is delivered on the main queue, exactly once per call.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Error.h"
#include "services/remoteconfig/RCNConfigContent.h"
#include "services/remoteconfig/RCNConfigExperiment.h"
#include "services/remoteconfig/RCNConfigSettings.h"

class NSURLSession;
class NSURLResponse;
class RZROptions;

inline constexpr const char* RCNRemoteConfigErrorDomain = "com.zevera.remoteconfig.ErrorDomain";
// The remote-configuration service's address; sim::setServiceHostOverride
// points it at the simulated backend.
inline constexpr const char* RCNServerHost = "remoteconfig.zeveraapis.com";

class RCNConfigFetch : public std::enable_shared_from_this<RCNConfigFetch> {
  public:
    using Completion = std::function<void(DIROdadevOveredFetchStatus, std::optional<NSError>)>;

    static std::shared_ptr<RCNConfigFetch> create(std::shared_ptr<RCNConfigContent> content,
                                                  std::shared_ptr<RCNConfigSettings> settings,
                                                  std::shared_ptr<ZAROduzozovaInterop> analytics,
                                                  std::shared_ptr<RCNConfigExperiment> experiment,
                                                  std::shared_ptr<DispatchQueue> queue,
                                                  std::string ns,
                                                  std::shared_ptr<RZROptions> options);
    ~RCNConfigFetch();

    void fetchConfigWithExpirationDuration(double expirationDuration, Completion completion);
    // A new session with the settings' time-out; a running fetch still ends.
    void recreateNetworkSession();
    std::shared_ptr<NSURLSession> currentNetworkSession() const { return session_; }
    std::string constructServerURL() const;

  private:
    RCNConfigFetch() = default;
    std::shared_ptr<NSURLSession> newFetchSession() const;
    void refreshInstallationsToken(Completion completion);
    void fetchWithUserProperties(const Dictionary& userProperties, Completion completion);
    void processResponse(std::optional<Data> data, std::shared_ptr<NSURLResponse> response,
                         std::optional<NSError> error, Completion completion);
    void failEarly(const std::string& code, const std::string& text, const Completion& completion);
    void completeThrottled(const Completion& completion);
    static void report(const Completion& completion, DIROdadevOveredFetchStatus status,
                       std::optional<NSError> error);
    std::string appName() const;

    std::shared_ptr<RCNConfigContent> content_;
    std::shared_ptr<RCNConfigSettings> settings_;
    std::shared_ptr<ZAROduzozovaInterop> analytics_;
    std::shared_ptr<RCNConfigExperiment> experiment_;
    std::shared_ptr<DispatchQueue> lockQueue_;
    std::shared_ptr<NSURLSession> session_;
    std::string namespace_;
    std::shared_ptr<RZROptions> options_;
};
