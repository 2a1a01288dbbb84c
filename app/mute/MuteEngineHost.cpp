#include "app/mute/MuteEngineHost.h"

#include "platform/appkit/NSApplication.h"

std::shared_ptr<MuteEngineHost> MuteEngineHost::current() {
    return std::dynamic_pointer_cast<MuteEngineHost>(
        NSApplication::sharedApplication()->delegate());
}
