// The device alerts as the shipped string table words them: they name the
// device, or show the message the remote configuration gives for it.

#include <string>

#include "app/mute/DeviceAlerts.h"
#include "app/ui/tests/ShellTestSupport.h"
#include "platform/appkit/NSAlert.h"

namespace shelltest {
namespace {

using DeviceAlertTextTest = ShellTest;

struct AlertCase {
    const char* name;
    void (*show)(const std::string&);
    const char* argument;
    const char* title;
    const char* informativeText;  // the part that carries the argument
    const char* button;
};

TEST_F(DeviceAlertTextTest, TheShippedTextsCarryTheDeviceAndTheApplication) {
    const AlertCase cases[] = {
        {"aggregate", showAggregateDeviceAlert, "Virtual Mixer",
         "Unsupported aggregate device detected: Virtual Mixer",
         "Lumbrel cannot mute an aggregate device", "Restart"},
        {"unsupported by name", showUnsupportedDeviceAlert, "Desk Microphone",
         "Unsupported device detected", "Desk Microphone\n\n", "I understand"},
        {"unsupported, remote message", showUnsupportedDeviceAlert,
         "This model ignores mute requests.", "Unsupported device detected",
         "This model ignores mute requests.\n\n", "I understand"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Alerts::clear();
        c.show(c.argument);
        settle();
        auto shown = sim::Alerts::shown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].messageText, c.title);
        EXPECT_EQ(shown[0].informativeText.find(c.informativeText), 0u) << shown[0].informativeText;
        EXPECT_EQ(shown[0].informativeText.find("%@"), std::string::npos);
        EXPECT_EQ(shown[0].buttons, std::vector<std::string>{c.button});
    }
}

}  // namespace
}  // namespace shelltest
