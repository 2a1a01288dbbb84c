#include "app/mute/ClamshellObserver.h"

#include "app/mute/MuteEngineHost.h"
#include "app/mute/MuteManager.h"
#include "app/mute/RemoteValues.h"
#include "app/mute/StoredShortcut.h"
#include "app/settings/AppSettings.h"
#include "platform/appkit/NSScreen.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "services/analytics/ZAROduzozova.h"

ClamshellObserver::ClamshellObserver() {
    auto model = ::macModelName();
    hasClamshellMode_ = model && model->rfind("MacBook", 0) == 0;
    macModelName_ = ::macModelName();
}

ClamshellObserver::~ClamshellObserver() {
    // The handler holds the observer weakly; the registration itself would
    // otherwise outlive it in the centre.
    if (observer_) NSNotificationCenter::defaultCenter()->removeObserver(observer_);
}

bool ClamshellObserver::canAccessMicInClamshellMode() const {
    auto models = remotevalues::array("macsThatCanAccessMicInClamshellMode");
    return macModelName_ && remotevalues::containsString(models, *macModelName_);
}

void ClamshellObserver::startObserving() {
    if (!hasClamshellMode_ || canAccessMicInClamshellMode()) return;
    auto center = NSNotificationCenter::defaultCenter();
    if (observer_) center->removeObserver(observer_);
    std::weak_ptr<ClamshellObserver> weak =
        std::static_pointer_cast<ClamshellObserver>(shared_from_this());
    observer_ =
        center->addObserverForName(NSApplicationDidChangeScreenParametersNotification, nullptr,
                                   DispatchQueue::main(), [weak](const NSNotification&) {
                                       if (auto self = weak.lock()) self->updateClamshellState();
                                   });
    updateClamshellState();
}

void ClamshellObserver::updateClamshellState() {
    if (canAccessMicInClamshellMode()) {
        isInClamshellMode_ = false;
        return;
    }
    bool foundBuiltIn = false;
    auto screens = NSScreen::screens();
    for (const auto& screen : screens) inspectScreen(*screen, foundBuiltIn);
    isInClamshellMode_ = hasClamshellMode_ && (screens.empty() || !foundBuiltIn);
    if (isInClamshellMode_) {
        DispatchQueue::main()->async([] {
            auto host = MuteEngineHost::current();
            if (!host) return;
            if (auto engine = host->muteManager()) engine->selectPreferredInputDevice();
        });
    }
}

void ClamshellObserver::inspectScreen(const NSScreen& screen, bool& foundBuiltIn) {
    const auto& name = screen.localizedName();
    bool builtIn = remotevalues::containsString(remotevalues::array("builtInDisplayNames"), name);
    auto reported = Defaults::get(Defaults::Keys::displaysSentToAnalytics());
    if (std::find(reported.begin(), reported.end(), name) == reported.end()) {
        reported.push_back(name);
        Defaults::set(Defaults::Keys::displaysSentToAnalytics(), reported);
        ZAROduzozova::logEventWithName("display_encountered", Dictionary{{"name", name}});
    }
    if (builtIn) foundBuiltIn = true;
}
