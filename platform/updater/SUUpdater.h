#pragma once
// The update framework's updater, headless: a check asks the simulated
// update feed (sim::Updater) and answers the delegate on the main queue,
// "updater:didFindValidUpdate:" with the item found or
// "updaterDidNotFindUpdate:", each through the runtime after
// respondsToSelector. Delegate classes adopt objc_getProtocol(
// "SUUpdaterDelegate"), which exists once this library is linked.
//
// Automatic checks follow the user default "SUEnableAutomaticChecks" (else
// the main bundle's information list, else off), read at each scheduled
// check: every updater checks in the background once per
// updateCheckInterval (the list's "SUScheduledCheckInterval", else one day)
// while that setting is on. Main thread only.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Timer.h"
#include "platform/runtime/Runtime.h"

class SUAppcastItem : public NSObject {
  public:
    explicit SUAppcastItem(std::string versionString) : versionString_(std::move(versionString)) {}
    const std::string& versionString() const { return versionString_; }
    const std::string& displayVersionString() const { return versionString_; }
    std::string className() const override { return "SUAppcastItem"; }

  private:
    std::string versionString_;
};

class SUUpdater : public RuntimeObject {
  public:
    static Class runtimeClass();
    // One updater for the whole program.
    static std::shared_ptr<SUUpdater> sharedUpdater();
    // A new updater (the plain initialiser).
    SUUpdater();
    ~SUUpdater() override;

    // Held weakly, as the framework does.
    id delegate() const;
    void setDelegate(const id& delegate);

    // A check the user asked for.
    void checkForUpdates(const id& sender);
    void checkForUpdatesInBackground();

    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool automatically);
    double updateCheckInterval() const;

  private:
    void check(bool userInitiated, const std::string& senderClass);

    mutable std::mutex mutex_;
    std::weak_ptr<NSObject> delegate_;
    std::shared_ptr<Timer> schedule_;
};

namespace sim {

struct UpdateCheck {
    const SUUpdater* updater = nullptr;  // identity only
    bool userInitiated = false;
    std::string senderClass;  // "" for a background check or a nil sender
    std::optional<std::string> foundVersion;
};

struct Updater {
    // Every check, in order; those of one updater.
    static std::vector<UpdateCheck> checks();
    static std::vector<UpdateCheck> checks(const SUUpdater* updater);
    // What the feed offers from now on: a version, or nothing new.
    static void offerUpdate(const std::string& version);
    static void offerNoUpdate();
    // Forgets the checks and the offer.
    static void reset();
};

}  // namespace sim
