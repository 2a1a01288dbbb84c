#include <gtest/gtest.h>

#include "app/hotkeys/KeyCombo.h"
#include "app/mute/StoredShortcut.h"
#include "app/mute/tests/MuteTestSupport.h"
#include "app/settings/AppSettings.h"
#include "platform/iokit/IOKit.h"

namespace mutetest {
namespace {

using Keys = Defaults::Keys;

TEST_F(MuteEngineTest, StoredKeyCombo) {
    auto stored = storedKeyCombo();
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->isEqual(*defaultKeyCombo()));

    Defaults::set(Keys::keyDoubleModifiers(), true);  // command+shift is no double tap
    stored = storedKeyCombo();
    ASSERT_TRUE(stored);
    EXPECT_FALSE(stored->doubledModifiers());
    EXPECT_EQ(stored->keyCode(), 46);

    Defaults::set(Keys::keyModifiers(), std::int64_t{0x800});  // option, twice
    stored = storedKeyCombo();
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->doubledModifiers());

    Defaults::set(Keys::keyEnabled(), false);
    EXPECT_FALSE(storedKeyCombo());
}

TEST_F(MuteEngineTest, MacModelName) {
    struct Case {
        std::optional<Data> data;
        std::optional<std::string> expected;
    } cases[] = {
        {Data{'M', 'a', 'c', 'B', 'o', 'o', 'k', '1', 0, 'x'}, "MacBook1"},
        {Data{'i', 'M', 'a', 'c'}, "iMac"},
        {Data{0xff, 0xfe, 0}, std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        sim::setPlatformExpertModelData(c.data);
        EXPECT_EQ(macModelName(), c.expected);
    }
    EXPECT_EQ(sim::outstandingIOObjects(), 0);
}

}  // namespace
}  // namespace mutetest
