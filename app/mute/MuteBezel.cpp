#include "app/mute/MuteBezel.h"

#include <string>

#include "app/mute/MuteEngineHost.h"
#include "app/mute/RemoteValues.h"
#include "app/settings/AppSettings.h"
#include "platform/bezel/BHBezelNotification.h"

namespace {

std::shared_ptr<BezelDelegate>& heldBezel() {
    static auto* bezel = new std::shared_ptr<BezelDelegate>();
    return *bezel;
}

void showBezel(const std::string& messageText, const std::shared_ptr<NSImage>& image,
               double seconds) {
    auto& current = heldBezel();
    if (current) current->dismiss();
    current = BHNotificationBezel::show(
        messageText, image, BezelParameters::defaultLocation(), BezelParameters::defaultSize(),
        BezelTimeToLive::Seconds(seconds), 0.0, 0.25, BezelParameters::defaultCornerRadius(),
        BezelParameters::defaultBackgroundTint(), BezelParameters::defaultMessageLabelFont(),
        BezelParameters::defaultMessageLabelColor(), [] {});
}

}  // namespace

std::shared_ptr<BezelDelegate> currentBezel() {
    return heldBezel();
}

void showMuteToggleBezel() {
    auto host = MuteEngineHost::current();
    if (!host || !host->hasInitializedApp()) return;
    double seconds = remotevalues::number("muteToggleNotificationTime");
    if (!Defaults::get(Defaults::Keys::muteNotifications())) return;
    bool muted = Defaults::get(Defaults::Keys::devicesMuted());
    showBezel(muted ? "Muted" : "Live", host->statusImage(StatusImageKind::bezel), seconds);
}

void showCannotMuteBezel() {
    double seconds = remotevalues::number("cannotMuteNotificationTime");
    if (!remotevalues::boolean("showCannotMuteNotification")) return;
    showBezel("Mute error", NSImage::imageNamed("muteError"), seconds);
}
