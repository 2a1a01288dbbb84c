#include "app/ui/LoginItem.h"

#include "app/settings/AppSettings.h"
#include "platform/log/Log.h"
#include "platform/servicemanagement/SMLoginItem.h"

namespace {

bool reverting = false;

}  // namespace

bool isRevertingLaunchAtLogin() {
    return reverting;
}

bool setLaunchAtLogin(bool enabled) {
    const std::string flag = enabled ? "1" : "0";
    if (SMLoginItemSetEnabled(kLoginItemIdentifier, enabled)) {
        NSLog("SMLoginItemSetEnabled change to " + flag + " worked!");
        return true;
    }
    // The reverting write makes the settings reaction ask for the old value
    // again; when the service refuses that too, writing back once more would
    // make the two call each other without end.
    if (reverting) {
        NSLog("SMLoginItemSetEnabled failed to set " + flag + ".");
        return false;
    }
    NSLog("SMLoginItemSetEnabled failed to set " + flag + "; reverting.");
    reverting = true;
    Defaults::set(Defaults::Keys::startOnLogin(), !enabled);
    reverting = false;
    return false;
}
