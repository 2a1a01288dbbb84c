#pragma once
// The service options: the application's identifiers for the hosted
// services, read from the configuration list "ZeveraService-Info" of the
// application bundle.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class RZROptions : public NSObject {
  public:
    // The options of the bundle's configuration list, made once; null when
    // the list is missing or is not a dictionary.
    static std::shared_ptr<RZROptions> defaultOptions();
    static std::optional<Dictionary> defaultOptionsDictionary();
    static std::shared_ptr<RZROptions> initWithContentsOfFile(const std::string& path);
    explicit RZROptions(Dictionary options) : options_(std::move(options)) {}

    std::optional<std::string> zeveraAppID() const { return text("ZEVERA_APP_ID"); }
    std::optional<std::string> ZCMSenderID() const { return text("ZCM_SENDER_ID"); }
    std::optional<std::string> APIKey() const { return text("API_KEY"); }
    std::optional<std::string> projectID() const { return text("PROJECT_ID"); }
    std::optional<std::string> bundleID() const { return text("BUNDLE_ID"); }
    bool isAnalyticsCollectionDeactivated() const;
    bool isAnalyticsCollectionEnabled() const;
    const Dictionary& optionsDictionary() const { return options_; }

    // A copy that refuses changes, as an app holds it.
    std::shared_ptr<RZROptions> lockedCopy() const;
    bool editingLocked() const { return locked_; }
    void setAPIKey(const std::string& key);

    std::string className() const override { return "RZROptions"; }

  private:
    std::optional<std::string> text(const char* key) const;
    Dictionary options_;
    bool locked_ = false;
};
