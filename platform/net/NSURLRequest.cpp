#include "platform/net/NSURLRequest.h"

#include <strings.h>

bool NSHTTPHeaderLess::operator()(const std::string& a, const std::string& b) const {
    return ::strcasecmp(a.c_str(), b.c_str()) < 0;
}

std::optional<std::string> NSURLRequest::valueForHTTPHeaderField(const std::string& field) const {
    auto it = allHTTPHeaderFields.find(field);
    if (it == allHTTPHeaderFields.end()) return std::nullopt;
    return it->second;
}

void NSURLRequest::setValue(const std::optional<std::string>& value, const std::string& field) {
    if (!value) {
        allHTTPHeaderFields.erase(field);
        return;
    }
    allHTTPHeaderFields.erase(field);
    allHTTPHeaderFields.emplace(field, *value);
}

void NSURLRequest::addValue(const std::string& value, const std::string& field) {
    auto it = allHTTPHeaderFields.find(field);
    if (it == allHTTPHeaderFields.end()) {
        allHTTPHeaderFields.emplace(field, value);
    } else {
        it->second += "," + value;
    }
}

NSHTTPURLResponse::NSHTTPURLResponse(NSURL url, long statusCode, NSHTTPHeaders headers)
    : NSURLResponse(
          url,
          [&] {
              auto it = headers.find("Content-Type");
              if (it == headers.end()) return std::string();
              auto semi = it->second.find(';');
              return it->second.substr(0, semi);
          }(),
          [&]() -> long long {
              auto it = headers.find("Content-Length");
              if (it == headers.end()) return -1;
              try {
                  return std::stoll(it->second);
              } catch (...) {
                  return -1;
              }
          }()),
      status_(statusCode),
      headers_(std::move(headers)) {}

std::string NSHTTPURLResponse::description() const {
    return "<NSHTTPURLResponse> { URL: " + URL().absoluteString() +
           " } { Status Code: " + std::to_string(status_) + " }";
}

std::optional<std::string> NSHTTPURLResponse::valueForHTTPHeaderField(
    const std::string& field) const {
    auto it = headers_.find(field);
    if (it == headers_.end()) return std::nullopt;
    return it->second;
}

std::string NSHTTPURLResponse::localizedStringForStatusCode(long statusCode) {
    switch (statusCode) {
        case 200:
            return "no error";
        case 201:
            return "created";
        case 204:
            return "no content";
        case 301:
            return "moved permanently";
        case 302:
            return "found";
        case 303:
            return "see other";
        case 304:
            return "not modified";
        case 307:
            return "temporarily redirected";
        case 400:
            return "bad request";
        case 401:
            return "unauthorized";
        case 403:
            return "forbidden";
        case 404:
            return "not found";
        case 429:
            return "too many requests";
        case 500:
            return "internal server error";
        case 503:
            return "service unavailable";
        default:
            if (statusCode >= 200 && statusCode < 300) return "success";
            if (statusCode >= 300 && statusCode < 400) return "redirected";
            if (statusCode >= 400 && statusCode < 500) return "client error";
            if (statusCode >= 500 && statusCode < 600) return "server error";
            return "informational";
    }
}

NSError makeURLError(long long code, const std::optional<NSURL>& url) {
    const char* text = "An unknown error occurred.";
    switch (code) {
        case NSURLErrorCancelled:
            text = "cancelled";
            break;
        case NSURLErrorBadURL:
            text = "unsupported URL";
            break;
        case NSURLErrorTimedOut:
            text = "The request timed out.";
            break;
        case NSURLErrorUnsupportedURL:
            text = "unsupported URL";
            break;
        case NSURLErrorCannotFindHost:
            text = "A server with the specified hostname could not be found.";
            break;
        case NSURLErrorCannotConnectToHost:
            text = "Could not connect to the server.";
            break;
        case NSURLErrorNetworkConnectionLost:
            text = "The network connection was lost.";
            break;
        case NSURLErrorHTTPTooManyRedirects:
            text = "too many HTTP redirects";
            break;
        case NSURLErrorResourceUnavailable:
            text = "resource unavailable";
            break;
        case NSURLErrorNotConnectedToInternet:
            text = "The Internet connection appears to be offline.";
            break;
        case NSURLErrorBadServerResponse:
            text = "bad server response";
            break;
        case NSURLErrorCannotDecodeContentData:
            text = "cannot decode raw data";
            break;
        case NSURLErrorFileDoesNotExist:
            text = "The requested URL was not found on this server.";
            break;
        case NSURLErrorDataLengthExceedsMaximum:
            text = "resource exceeds maximum size";
            break;
        case NSURLErrorSecureConnectionFailed:
            text =
                "An SSL error has occurred and a secure connection to the server cannot be made.";
            break;
        case NSURLErrorServerCertificateUntrusted:
            text = "The certificate for this server is invalid.";
            break;
        case NSURLErrorCannotCreateFile:
        case NSURLErrorCannotWriteToFile:
            text = "cannot write file";
            break;
        default:
            break;
    }
    Dictionary info{{NSError::NSLocalizedDescriptionKey, Value(text)}};
    if (url) info.set(NSURLErrorFailingURLStringErrorKey, Value(url->absoluteString()));
    return NSError(NSURLErrorDomain, code, std::move(info));
}
