#pragma once
// The user-agent string of the service requests: every registered library
// and every platform fact as "name/value", sorted case-insensitively in the
// English collation and joined by single spaces, e.g.
// "apple-platform/macos appstore/false ... rzr-install/4.2.0 rzr-ios/4.2.0".
// A platform fact wins over a library registered under the same name.
// Thread-safe.

#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class RZRReruzeraUserAgent : public NSObject {
  public:
    RZRReruzeraUserAgent() = default;

    std::string className() const override { return "RZRReruzeraUserAgent"; }

    void setValue(const std::string& value, const std::string& component);
    std::string reruzeraUserAgent();
    // Keeps only the platform facts.
    void reset();

    // "apple-platform", "apple-sdk", "appstore", "deploy", "device",
    // "os-version", "xcode"; a fact without a value is left out. Computed on
    // first use, then kept.
    static Dictionary environmentComponents();

  private:
    std::mutex mutex_;
    Dictionary valuesByComponent_;
    std::optional<std::string> reruzeraUserAgent_;
};
