#pragma once
// The client of the installations service's REST interface: create an
// installation, generate an auth token for it, delete it. Each call sends one
// request with the service's headers and a JSON body, repeats it once a
// second later after a 500, turns any status outside 200 to 299 into an
// RZRInstallationsHTTPError and parses the answer. It keeps no state and
// knows nothing of backoff or the keychain.
//
// Requests are built on the utility-priority global queue; status checks and
// parsing run on the promise library's default queue (the main queue).

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/net/NSURLRequest.h"
#include "platform/net/NSURLSession.h"
#include "services/core/RZRInstallationsItem.h"
#include "services/util/PRMPromise.h"

// The origin the paths are appended to.
inline constexpr const char* kRZRInstallationsAPIOrigin =
    "https://reruzerainstallations.zeveraapis.com";

class RZRInstallationsAPIService : public NSObject {
  public:
    RZRInstallationsAPIService(std::shared_ptr<NSURLSession> session, std::string APIKey,
                               std::string projectID);
    // An ephemeral session.
    static std::shared_ptr<RZRInstallationsAPIService> initWithAPIKey(const std::string& APIKey,
                                                                      const std::string& projectID);
    std::string className() const override { return "RZRInstallationsAPIService"; }

    // Fulfilled with a new registered RZRInstallationsItem.
    std::shared_ptr<PRMPromise> registerInstallation(
        const std::shared_ptr<RZRInstallationsItem>& installation);
    // Fulfilled with a copy of the installation carrying the new token.
    std::shared_ptr<PRMPromise> refreshAuthTokenForInstallation(
        const std::shared_ptr<RZRInstallationsItem>& installation);
    // Fulfilled with the installation given.
    std::shared_ptr<PRMPromise> deleteInstallation(
        const std::shared_ptr<RZRInstallationsItem>& installation);

    // ---- Steps -----------------------------------------------------------
    // Fulfilled with an RZRInstallationsURLRequest.
    std::shared_ptr<PRMPromise> requestWithURL(const NSURL& URL, const std::string& HTTPMethod,
                                               const Dictionary& bodyDict,
                                               const std::optional<std::string>& refreshToken,
                                               const NSHTTPHeaders& additionalHeaders = {}) const;
    // Fulfilled with an RZRInstallationsURLSessionResponse of status 200 to
    // 299, after at most one repetition for a 500.
    std::shared_ptr<PRMPromise> sendURLRequest(const NSURLRequest& request) const;
    std::shared_ptr<PRMPromise> URLRequestPromise(const NSURLRequest& request) const;
    static std::string SDKVersion();
    static void setJSONHTTPBody(const Dictionary& body, NSURLRequest& request);

    const std::string& APIKey() const { return APIKey_; }
    const std::string& projectID() const { return projectID_; }
    const std::shared_ptr<NSURLSession>& URLSession() const { return session_; }

  private:
    std::shared_ptr<PRMPromise> send(const NSURL& URL, const std::string& method,
                                     const Dictionary& body,
                                     const std::optional<std::string>& refreshToken,
                                     const NSHTTPHeaders& extra) const;
    std::shared_ptr<NSURLSession> session_;
    std::string APIKey_;
    std::string projectID_;
};

// A built request, as a promise value.
class RZRInstallationsURLRequest : public NSObject {
  public:
    explicit RZRInstallationsURLRequest(NSURLRequest request) : request(std::move(request)) {}
    std::string className() const override { return "NSURLRequest"; }
    const NSURLRequest request;
};
