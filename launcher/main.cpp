// Lumbrel Helper: started at login, it starts Lumbrel and ends.

#include <memory>

#include "launcher/AppDelegate.h"
#include "platform/appkit/NSApplication.h"

int main(int argc, char* argv[]) {
    NSApplication::sharedApplication()->setDelegate(std::make_shared<LumbrelHelper::AppDelegate>());
    NSApplicationMain(argc, argv);
    return 0;
}
