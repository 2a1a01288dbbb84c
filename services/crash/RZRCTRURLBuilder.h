#pragma once
// Builds request URLs from a base, path segments and query parameters. Query values and path
// segments are percent-escaped so that no value can end its field early or add one.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "platform/net/NSURL.h"

class RZRCTRURLBuilder : public NSObject {
  public:
    // A builder whose text starts with base.
    static std::shared_ptr<RZRCTRURLBuilder> URLWithBase(const std::string& base);
    std::string className() const override { return "RZRCTRURLBuilder"; }

    // Escapes for a query value: every character outside letters, digits and
    // -._~!$'()*,;:@/? (so '&', '=', '+' and '#' are escaped too).
    static std::string escapeString(const std::string& text);
    // Escapes for one path segment: as escapeString, and also '/' and '?'.
    static std::string escapePathSegment(const std::string& text);

    // Appends text unchanged; an empty text is logged and appends nothing.
    void appendComponent(const std::string& text);
    // Appends text as one escaped path segment.
    void escapeAndAppendComponent(const std::string& text);
    // "?name=value" for the first parameter, "&name=value" after; a null value
    // appends nothing; a value that is not a string is written as its
    // description.
    void appendValue(const Value& value, const std::string& queryParam);

    const std::string& URLString() const { return URLString_; }
    std::size_t queryParams() const { return queryParams_; }
    // nullopt when the text is not a valid URL.
    std::optional<NSURL> URL() const;

  private:
    std::string URLString_;
    std::size_t queryParams_ = 0;
};
