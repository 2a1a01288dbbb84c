#pragma once
// One data task run as a promise: fulfilled with the response and body
// whatever the HTTP status, rejected only by a transport error.

#include <memory>
#include <optional>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "platform/net/NSURLRequest.h"
#include "platform/net/NSURLSession.h"
#include "services/util/PRMPromise.h"

class ZVUURLSessionDataResponse : public NSObject {
  public:
    ZVUURLSessionDataResponse(std::shared_ptr<NSHTTPURLResponse> response, std::optional<Data> body)
        : response_(std::move(response)), body_(std::move(body)) {}
    static std::shared_ptr<ZVUURLSessionDataResponse> initWithResponse(
        std::shared_ptr<NSHTTPURLResponse> response, std::optional<Data> body) {
        return std::make_shared<ZVUURLSessionDataResponse>(std::move(response), std::move(body));
    }
    std::string className() const override { return "ZVUURLSessionDataResponse"; }

    const std::shared_ptr<NSHTTPURLResponse>& HTTPResponse() const { return response_; }
    const std::optional<Data>& HTTPBody() const { return body_; }

  private:
    std::shared_ptr<NSHTTPURLResponse> response_;
    std::optional<Data> body_;
};

// The task is created and started on the default promise queue. Fulfilled
// with a ZVUURLSessionDataResponse.
std::shared_ptr<PRMPromise> zvu_dataTaskPromiseWithRequest(
    const std::shared_ptr<NSURLSession>& session, const NSURLRequest& request);
