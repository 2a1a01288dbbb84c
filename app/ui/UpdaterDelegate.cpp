#include "app/ui/UpdaterDelegate.h"

#include "app/ui/AppDelegate.h"
#include "platform/appkit/NSApplication.h"
#include "platform/updater/SUUpdater.h"

Class UpdaterDelegate::runtimeClass() {
    static Class cls =
        ClassBuilder<UpdaterDelegate>("Lumbrel.UpdaterDelegate")
            .method("updater:didFindValidUpdate:", &UpdaterDelegate::updaterDidFindValidUpdate)
            .conformsTo(objc_getProtocol("SUUpdaterDelegate"))
            .registerClass();
    return cls;
}

const std::shared_ptr<UpdaterDelegate>& UpdaterDelegate::shared() {
    static auto* instance =
        new std::shared_ptr<UpdaterDelegate>(std::make_shared<UpdaterDelegate>());
    return *instance;
}

UpdaterDelegate::UpdaterDelegate() : RuntimeObject(runtimeClass()) {}

void UpdaterDelegate::updaterDidFindValidUpdate(const id&, const id&) {
    auto delegate =
        std::dynamic_pointer_cast<AppDelegate>(NSApplication::sharedApplication()->delegate());
    if (delegate) delegate->keepWindowsFloating();
}
