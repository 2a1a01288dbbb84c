#include "launcher/AppDelegate.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/log/Log.h"

namespace LumbrelHelper {

Class AppDelegate::runtimeClass() {
    static Class cls =
        ClassBuilder<AppDelegate>("Lumbrel_Helper.AppDelegate")
            .method("applicationDidFinishLaunching:", &AppDelegate::applicationDidFinishLaunching)
            .method("applicationWillTerminate:", &AppDelegate::applicationWillTerminate)
            .conformsTo(objc_getProtocol("NSApplicationDelegate"))
            .registerClass();
    return cls;
}

AppDelegate::AppDelegate() : RuntimeObject(runtimeClass()) {}

void AppDelegate::applicationDidFinishLaunching(const id&) {
    if (NSWorkspace::sharedWorkspace()->launchApplication("Lumbrel"))
        os_log(OSLog::defaultLog(), "Launched Lumbrel");
    else
        os_log(OSLog::defaultLog(), "Failed to launch Lumbrel -- was it renamed?");
    NSApplication::sharedApplication()->terminate(weak_from_this().lock());
}

void AppDelegate::applicationWillTerminate(const id&) {}

}  // namespace LumbrelHelper
