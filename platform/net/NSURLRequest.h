#pragma once
// Requests and responses of URL loading, and the loading errors.

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "platform/net/NSURL.h"

enum class NSURLRequestCachePolicy : unsigned long {
    UseProtocolCachePolicy = 0,
    ReloadIgnoringLocalCacheData = 1,
    ReturnCacheDataElseLoad = 2,
    ReturnCacheDataDontLoad = 3,
};

// Header names compare without regard to case, as HTTP wants.
struct NSHTTPHeaderLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using NSHTTPHeaders = std::map<std::string, std::string, NSHTTPHeaderLess>;

// NSURLRequest and NSMutableURLRequest in one value type.
struct NSURLRequest {
    NSURLRequest() = default;
    explicit NSURLRequest(
        NSURL url,
        NSURLRequestCachePolicy cachePolicy = NSURLRequestCachePolicy::UseProtocolCachePolicy,
        double timeoutInterval = 60.0)
        : URL(std::move(url)), cachePolicy(cachePolicy), timeoutInterval(timeoutInterval) {}

    std::optional<NSURL> URL;
    std::string HTTPMethod = "GET";
    NSHTTPHeaders allHTTPHeaderFields;
    std::optional<Data> HTTPBody;
    NSURLRequestCachePolicy cachePolicy = NSURLRequestCachePolicy::UseProtocolCachePolicy;
    double timeoutInterval = 60.0;

    std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
    // An empty optional removes the field.
    void setValue(const std::optional<std::string>& value, const std::string& field);
    void addValue(const std::string& value, const std::string& field);
};
using NSMutableURLRequest = NSURLRequest;

class NSURLResponse : public NSObject {
  public:
    NSURLResponse(NSURL url, std::string mimeType, long long expectedContentLength)
        : url_(std::move(url)), mime_(std::move(mimeType)), expected_(expectedContentLength) {}
    std::string className() const override { return "NSURLResponse"; }
    const NSURL& URL() const { return url_; }
    const std::string& MIMEType() const { return mime_; }
    // -1 when unknown.
    long long expectedContentLength() const { return expected_; }

  private:
    NSURL url_;
    std::string mime_;
    long long expected_;
};

class NSHTTPURLResponse : public NSURLResponse {
  public:
    NSHTTPURLResponse(NSURL url, long statusCode, NSHTTPHeaders headers);
    std::string className() const override { return "NSHTTPURLResponse"; }
    std::string description() const override;
    long statusCode() const { return status_; }
    const NSHTTPHeaders& allHeaderFields() const { return headers_; }
    std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
    static std::string localizedStringForStatusCode(long statusCode);

  private:
    long status_;
    NSHTTPHeaders headers_;
};

// The platform's URL-loading error domain and the codes this loader produces.
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* NSURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";
enum NSURLErrorCode : long long {
    NSURLErrorUnknown = -1,
    NSURLErrorCancelled = -999,
    NSURLErrorBadURL = -1000,
    NSURLErrorTimedOut = -1001,
    NSURLErrorUnsupportedURL = -1002,
    NSURLErrorCannotFindHost = -1003,
    NSURLErrorCannotConnectToHost = -1004,
    NSURLErrorNetworkConnectionLost = -1005,
    NSURLErrorHTTPTooManyRedirects = -1007,
    NSURLErrorResourceUnavailable = -1008,
    NSURLErrorNotConnectedToInternet = -1009,
    NSURLErrorBadServerResponse = -1011,
    NSURLErrorCannotDecodeContentData = -1016,
    NSURLErrorFileDoesNotExist = -1100,
    NSURLErrorDataLengthExceedsMaximum = -1103,
    NSURLErrorSecureConnectionFailed = -1200,
    NSURLErrorServerCertificateUntrusted = -1202,
    NSURLErrorCannotCreateFile = -3000,
    NSURLErrorCannotWriteToFile = -3003,
};
// An error of NSURLErrorDomain with the platform's description and the
// failing URL.
NSError makeURLError(long long code, const std::optional<NSURL>& url);
