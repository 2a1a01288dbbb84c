#pragma once
// The service options: the application's identifiers for the hosted
// services. The default options come from the configuration list
// "ZeveraService-Info.plist" of the application bundle; the information list
// may override the analytics switches. An app keeps a locked copy: every
// setter of a locked instance raises NSException "com.reruzera.core".
// Not thread-safe while being edited; a locked instance may be read from any
// thread.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class RZROptions : public NSObject {
  public:
    using Text = std::optional<std::string>;

    static constexpr const char* kServiceInfoFileName = "ZeveraService-Info";
    static constexpr const char* kServiceInfoFileType = "plist";

    // The options of the bundle's configuration list, made once (until
    // resetDefaultOptions); null when the list is missing or not a
    // dictionary. The shared instance is not locked.
    static std::shared_ptr<RZROptions> defaultOptions();
    static std::optional<Dictionary> defaultOptionsDictionary();
    static std::optional<std::string> plistFilePathWithName(const std::string& fileName);
    static void resetDefaultOptions();

    // Marks the options as made from the default list.
    static std::shared_ptr<RZROptions> initInternalWithOptionsDictionary(Dictionary dictionary);
    // Null, after logging, when there is no path or no readable dictionary.
    static std::shared_ptr<RZROptions> initWithContentsOfFile(const Text& path);
    // The app ID, the sender ID and the main bundle's identifier.
    static std::shared_ptr<RZROptions> initWithZeveraAppID(const Text& appID, const Text& senderID);
    explicit RZROptions(Dictionary options) : optionsDictionary_(std::move(options)) {}

    Text zeveraAppID() const { return text("ZEVERA_APP_ID"); }
    Text ZCMSenderID() const { return text("ZCM_SENDER_ID"); }
    Text APIKey() const { return text("API_KEY"); }
    Text projectID() const { return text("PROJECT_ID"); }
    Text bundleID() const { return text("BUNDLE_ID"); }
    Text clientID() const { return text("CLIENT_ID"); }
    Text trackingID() const { return text("TRACKING_ID"); }
    Text androidClientID() const { return text("ANDROID_CLIENT_ID"); }
    Text databaseURL() const { return text("DATABASE_URL"); }
    Text storageBucket() const { return text("STORAGE_BUCKET"); }
    const Text& deepLinkURLScheme() const { return deepLinkURLScheme_; }
    const Text& appGroupID() const { return appGroupID_; }

    // A missing value removes the key.
    void setZeveraAppID(const Text& value) { setText("ZEVERA_APP_ID", value); }
    void setZCMSenderID(const Text& value) { setText("ZCM_SENDER_ID", value); }
    void setAPIKey(const Text& value) { setText("API_KEY", value); }
    void setProjectID(const Text& value) { setText("PROJECT_ID", value); }
    void setBundleID(const Text& value) { setText("BUNDLE_ID", value); }
    void setClientID(const Text& value) { setText("CLIENT_ID", value); }
    void setTrackingID(const Text& value) { setText("TRACKING_ID", value); }
    void setAndroidClientID(const Text& value) { setText("ANDROID_CLIENT_ID", value); }
    void setDatabaseURL(const Text& value) { setText("DATABASE_URL", value); }
    void setStorageBucket(const Text& value) { setText("STORAGE_BUCKET", value); }
    void setDeepLinkURLScheme(const Text& value);
    void setAppGroupID(const Text& value);

    const Dictionary& optionsDictionary() const { return optionsDictionary_; }
    // The SDK version as digits: major, minor and patch as two digits each,
    // then "000".
    static std::string libraryVersionID();

    // The analytics switches, the information list winning over the
    // configuration list; computed once.
    Dictionary analyticsOptionsDictionary() const;
    bool isMeasurementEnabled() const;
    bool isAnalyticsCollectionEnabled() const;
    bool isAnalyticsCollectionDeactivated() const;
    bool isAnalyticsCollectionExplicitlySet() const;
    bool isAnalyticsEnabled() const;
    bool isSignInEnabled() const;

    bool usingOptionsFromDefaultPlist() const { return usingOptionsFromDefaultPlist_; }
    void setUsingOptionsFromDefaultPlist(bool value) { usingOptionsFromDefaultPlist_ = value; }
    bool editingLocked() const { return editingLocked_; }
    void setEditingLocked(bool value) { editingLocked_ = value; }

    // The copy keeps the lock of the original.
    std::shared_ptr<RZROptions> copy() const;
    // The copy that an app holds.
    std::shared_ptr<RZROptions> lockedCopy() const;

    std::string className() const override { return "RZROptions"; }
    bool isEqual(const NSObject& other) const override;
    bool isEqualToOptions(const RZROptions& other) const;
    std::size_t hash() const override;

  private:
    Text text(const char* key) const;
    void setText(const char* key, const Text& value);
    void checkEditingLocked() const;

    Dictionary optionsDictionary_;
    Text deepLinkURLScheme_;
    Text appGroupID_;
    bool usingOptionsFromDefaultPlist_ = false;
    bool editingLocked_ = false;
    mutable std::mutex analyticsMutex_;
    mutable std::optional<Dictionary> analyticsOptionsDictionary_;
};
