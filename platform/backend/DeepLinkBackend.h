#pragma once
// The ad service's deferred-deep-link endpoint of the simulated backend:
// keeps the link waiting for each advertising identifier and hands it to the
// measurement library when it asks after the first launch.
//
// Endpoint: deeplink  GET /ads/conversion/app/deeplink
//   ?sdk_version=..&rdid=..&id_type=idfa&bundleid=..&retry=..[&ddl_test=1]
// Checks: every key present and non-empty, id_type "idfa", sdk_version and
// retry decimal numbers (400 otherwise). Then answers 200 with
// {"deeplink": ..., "zclid": ..., "zbraid": ..., "timestamp": ...} (absent
// fields left out) when a link waits for the identifier, else 204 without a
// body. A link stays until it is removed: the library stops asking once it
// has an answer.

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/backend/Backend.h"

namespace sim {

class DeepLinkBackend : public BackendService {
  public:
    static constexpr const char* kName = "deeplink";
    static constexpr const char* kDeepLink = "deeplink";
    static constexpr const char* kPath = "/ads/conversion/app/deeplink";

    struct Link {
        std::string deeplink;
        std::optional<std::string> zclid;
        std::optional<std::string> zbraid;
        std::optional<double> timestamp;
    };

    std::string name() const override { return kName; }
    std::vector<std::string> endpoints() const override { return {kDeepLink}; }
    std::optional<std::string> route(const RecordedRequest& request) const override;
    ScriptedResponse handle(const std::string& endpoint, const RecordedRequest& request) override;
    void reset() override;
    std::string describeState() const override;

    // The link waiting for the advertising identifier.
    void setLink(const std::string& rdid, Link link);
    void removeLink(const std::string& rdid);
    // The decoded arguments of a query ("a=1&b=%20" gives a: "1", b: " ");
    // the first occurrence of a key wins.
    static std::map<std::string, std::string> queryArguments(const std::string& query);
    // Answers with a link so far.
    std::size_t servedCount() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, Link> links_;
    std::size_t served_ = 0;
};

}  // namespace sim
