#include "app/hotkeys/HotKeyCenter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include <nlohmann/json.hpp>

#include "platform/dispatch/MainLoop.h"
#include "platform/input/InputSources.h"
#include "platform/input/Keyboard.h"

namespace {

constexpr NSEventModifierFlags cmd = NSEventModifierFlagCommand;
constexpr NSEventModifierFlags shift = NSEventModifierFlagShift;
constexpr NSEventModifierFlags opt = NSEventModifierFlagOption;

struct Fired {
    std::string identifier;
    UInt32 kind;
};

class HotKeyCenterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        sim::Keyboard::reset();
        sim::InputSources::reset();
        notifications_ = std::make_shared<NSNotificationCenter>();
        center_ = HotKeyCenter::init(
            ModifierEventHandler::init(std::chrono::milliseconds(300), DispatchQueue::main()),
            notifications_);
    }
    void TearDown() override {
        center_.reset();
        sim::advanceAndRun(std::chrono::seconds(1));
        sim::Keyboard::reset();
        sim::InputSources::reset();
        sim::useRealClock();
    }
    std::shared_ptr<HotKey> make(const std::string& identifier, std::shared_ptr<KeyCombo> combo,
                                 ActionQueue queue = ActionQueue::main) {
        return HotKey::init(identifier, std::move(combo), queue,
                            [this](const std::shared_ptr<HotKey>& hotKey, UInt32 kind) {
                                fired_.push_back({hotKey->identifier(), kind});
                            });
    }
    std::shared_ptr<NSNotificationCenter> notifications_;
    std::shared_ptr<HotKeyCenter> center_;
    std::vector<Fired> fired_;
};

TEST_F(HotKeyCenterTest, PressAndReleaseArriveOnTheMainQueue) {
    auto hotKey = make("toggle", KeyCombo::initWithQWERTYKeyCode(46, cmd | shift));
    ASSERT_TRUE(center_->register_(hotKey));
    EXPECT_EQ(hotKey->hotKeyId(), 0u);
    ASSERT_NE(hotKey->hotKeyRef(), nullptr);

    sim::Keyboard::press(46, cmd | shift);
    EXPECT_TRUE(fired_.empty());
    sim::MainLoop::runUntilIdle();
    ASSERT_EQ(fired_.size(), 1u);
    EXPECT_EQ(fired_[0].kind, kEventHotKeyPressed);
    sim::Keyboard::release(46);
    sim::MainLoop::runUntilIdle();
    ASSERT_EQ(fired_.size(), 2u);
    EXPECT_EQ(fired_[1].kind, kEventHotKeyReleased);
}

TEST_F(HotKeyCenterTest, SessionActionsRunInsideTheEventHandler) {
    std::vector<int> order;
    auto hotKey = HotKey::init("session", KeyCombo::init(Key::f5, 0), ActionQueue::session,
                               [&](const auto&, UInt32) { order.push_back(1); });
    ASSERT_TRUE(center_->register_(hotKey));
    sim::Keyboard::press(96);
    DispatchQueue::main()->async([&] { order.push_back(2); });
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(HotKeyCenterTest, RegistersTheCurrentLayoutsKeyCode) {
    sim::InputSources::enable("com.apple.keylayout.German");
    sim::InputSources::select("com.apple.keylayout.German");
    ASSERT_TRUE(center_->register_(make("z", KeyCombo::init(Key::z, cmd))));
    auto registered = sim::Keyboard::registeredHotKeys();
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0].keyCode, 16u);
    EXPECT_EQ(registered[0].modifiers, static_cast<UInt32>(cmdKey));
    sim::Keyboard::pressAndRelease(16, cmd);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(fired_.size(), 2u);
}

TEST_F(HotKeyCenterTest, RefusedRegistrations) {
    auto first = make("one", KeyCombo::init(Key::m, cmd));
    ASSERT_TRUE(center_->register_(first));
    EXPECT_FALSE(center_->register_(make("one", KeyCombo::init(Key::k, cmd))));
    EXPECT_FALSE(center_->register_(make("two", KeyCombo::init(Key::m, cmd))))
        << "an equal combination under another identifier";
    EXPECT_TRUE(center_->register_(make("three", KeyCombo::initWithDoubledCocoaModifiers(cmd))));
    EXPECT_FALSE(center_->register_(make("four", KeyCombo::initWithDoubledCocoaModifiers(cmd))));

    sim::Keyboard::holdHotKeyInOtherProgram(40, cmdKey);
    auto taken = make("taken", KeyCombo::init(Key::k, cmd));
    EXPECT_FALSE(center_->register_(taken));
    EXPECT_EQ(taken->hotKeyId(), std::nullopt);
    EXPECT_EQ(center_->hotKeys().count("taken"), 0u);
    EXPECT_EQ(center_->hotKeys().at("one"), first);
    EXPECT_EQ(first->hotKeyId(), 0u);
    EXPECT_EQ(center_->hotKeyCount(), 1u);

    // An unregistered copy under the same identifier leaves the stored one.
    auto impostor = make("one", KeyCombo::init(Key::m, cmd));
    center_->unregister(impostor);
    EXPECT_EQ(center_->hotKeys().count("one"), 1u);
    EXPECT_FALSE(center_->unregister(std::string("missing")));
}

TEST_F(HotKeyCenterTest, ModifiersBeyondThirtyTwoBitsAreRefused) {
    // Only an archive can carry such modifiers; the service would see them
    // cut to 32 bits, that is as another shortcut.
    const std::int64_t cases[] = {
        (std::int64_t{1} << 32) | cmdKey,
        std::int64_t{std::numeric_limits<UInt32>::max()} + 1,
        -static_cast<std::int64_t>(cmdKey),
    };
    for (const std::int64_t modifiers : cases) {
        nlohmann::json archived = *KeyCombo::init(Key::m, cmd);
        archived["modifiers"] = modifiers;
        auto hotKey = make("wide", KeyCombo::decode(archived));
        EXPECT_FALSE(center_->register_(hotKey)) << modifiers;
        EXPECT_EQ(hotKey->hotKeyId(), std::nullopt) << modifiers;
        EXPECT_TRUE(center_->hotKeys().empty()) << modifiers;
        EXPECT_TRUE(sim::Keyboard::registeredHotKeys().empty()) << modifiers;
    }
    EXPECT_EQ(center_->hotKeyCount(), 0u);
}

TEST_F(HotKeyCenterTest, IdsAreNeverReused) {
    auto hotKey = make("again", KeyCombo::init(Key::m, cmd));
    ASSERT_TRUE(center_->register_(hotKey));
    EXPECT_EQ(hotKey->hotKeyId(), 0u);
    EXPECT_TRUE(center_->unregister(std::string("again")));
    EXPECT_EQ(hotKey->hotKeyId(), std::nullopt);
    EXPECT_EQ(hotKey->hotKeyRef(), nullptr);
    EXPECT_TRUE(sim::Keyboard::registeredHotKeys().empty());
    ASSERT_TRUE(center_->register_(hotKey));
    EXPECT_EQ(hotKey->hotKeyId(), 1u);
}

TEST_F(HotKeyCenterTest, ADoubledModifierFiresOnceWithinTheInterval) {
    auto hotKey = make("double", KeyCombo::initWithDoubledCocoaModifiers(opt));
    ASSERT_TRUE(center_->register_(hotKey));
    EXPECT_EQ(hotKey->hotKeyId(), std::nullopt);
    EXPECT_TRUE(sim::Keyboard::registeredHotKeys().empty());

    const auto start = sim::Clock::now();
    auto at = [&](int ms) { return start + std::chrono::milliseconds(ms); };
    // Global and local monitors both see every event; it counts once.
    sim::Keyboard::tapModifier(opt, at(0));
    sim::Keyboard::tapModifier(opt, at(200));
    sim::MainLoop::runUntilIdle();
    ASSERT_EQ(fired_.size(), 1u);
    EXPECT_EQ(fired_[0].kind, kEventHotKeyPressed);

    fired_.clear();
    sim::Keyboard::tapModifier(opt, at(1000));
    sim::Keyboard::tapModifier(opt, at(1350));
    sim::Keyboard::tapModifier(cmd, at(1400));
    sim::Keyboard::tapModifier(cmd, at(1450));
    sim::MainLoop::runUntilIdle();
    EXPECT_TRUE(fired_.empty()) << "too late, or another modifier";
}

class Receiver : public NSObject, public SelectorPerforming {
  public:
    bool respondsToSelector(const Selector& selector) const override {
        return selector == "hotKeyFired:";
    }
    void performSelector(const Selector&, const std::shared_ptr<NSObject>& object) override {
        received.push_back(object);
    }
    // Weak: the hot key already holds its target.
    std::vector<std::weak_ptr<NSObject>> received;
};

TEST_F(HotKeyCenterTest, TargetsReceiveTheirActionWhenTheyRespond) {
    auto receiver = std::make_shared<Receiver>();
    auto responds = HotKey::init("responds", KeyCombo::init(Key::a, cmd), receiver,
                                 Selector("hotKeyFired:"), ActionQueue::main);
    auto deaf = HotKey::init("deaf", KeyCombo::init(Key::s, cmd), receiver,
                             Selector("somethingElse:"), ActionQueue::main);
    ASSERT_TRUE(center_->register_(responds));
    ASSERT_TRUE(center_->register_(deaf));
    sim::Keyboard::pressAndRelease(0, cmd);
    sim::Keyboard::pressAndRelease(1, cmd);
    sim::MainLoop::runUntilIdle();
    ASSERT_EQ(receiver->received.size(), 2u) << "press and release";
    EXPECT_EQ(receiver->received[0].lock(), responds);
    EXPECT_EQ(center_->hotKeys().size(), 2u);
}

TEST_F(HotKeyCenterTest, AQueuedActionOfAReleasedHotKeyDoesNothing) {
    auto hotKey = make("gone", KeyCombo::init(Key::m, cmd));
    ASSERT_TRUE(center_->register_(hotKey));
    hotKey->invoke(kEventHotKeyPressed);
    center_->unregister(hotKey);
    hotKey.reset();
    sim::MainLoop::runUntilIdle();
    EXPECT_TRUE(fired_.empty());
}

TEST_F(HotKeyCenterTest, TerminationUnregistersEverything) {
    auto plain = make("plain", KeyCombo::init(Key::m, cmd));
    auto doubled = make("doubled", KeyCombo::initWithDoubledCocoaModifiers(cmd));
    ASSERT_TRUE(center_->register_(plain));
    ASSERT_TRUE(center_->register_(doubled));
    notifications_->postNotificationName("NSApplicationWillTerminateNotification");
    EXPECT_TRUE(center_->hotKeys().empty());
    EXPECT_EQ(plain->hotKeyId(), std::nullopt);
    EXPECT_EQ(plain->hotKeyRef(), nullptr);
    EXPECT_TRUE(sim::Keyboard::registeredHotKeys().empty());
}

OSStatus countEvent(EventHandlerCallRef, EventRef, void* userData) {
    ++*static_cast<int*>(userData);
    return noErr;
}

TEST_F(HotKeyCenterTest, ACentreThatGoesAwayTakesItsHotKeysAndHandlersWithIt) {
    // Installed before the centre, this handler runs after the centre's and
    // sees only what they pass on.
    int passedOn = 0;
    const EventTypeSpec pressed{kEventClassKeyboard, kEventHotKeyPressed};
    EventHandlerRef probe = nullptr;
    ASSERT_EQ(
        InstallEventHandler(GetEventDispatcherTarget(), countEvent, 1, &pressed, &passedOn, &probe),
        noErr);
    auto notifications = std::make_shared<NSNotificationCenter>();
    auto center = HotKeyCenter::init(
        ModifierEventHandler::init(std::chrono::milliseconds(300), DispatchQueue::main()),
        notifications);
    auto plain = make("plain", KeyCombo::init(Key::m, cmd));
    auto doubled = make("doubled", KeyCombo::initWithDoubledCocoaModifiers(opt));
    ASSERT_TRUE(center->register_(plain));
    ASSERT_TRUE(center->register_(doubled));
    const EventHotKeyID id{0, *plain->hotKeyId()};

    std::weak_ptr<HotKeyCenter> weak = center;
    center.reset();
    EXPECT_TRUE(weak.expired());
    weak.reset();  // its memory goes too, so a handler left behind is caught touching it
    EXPECT_TRUE(sim::Keyboard::registeredHotKeys().empty());
    EXPECT_EQ(plain->hotKeyId(), std::nullopt);
    EXPECT_EQ(plain->hotKeyRef(), nullptr);
    EXPECT_EQ(sim::observerCount(*notifications, "NSApplicationWillTerminateNotification"), 0u);

    EventRef event = nullptr;
    CreateEvent(nullptr, kEventClassKeyboard, kEventHotKeyPressed, 0, 0, &event);
    SetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, sizeof id, &id);
    EXPECT_EQ(SendEventToEventTarget(event, GetEventDispatcherTarget()), noErr);
    ReleaseEvent(event);
    EXPECT_EQ(passedOn, 1) << "a handler of the centre is still installed";

    const auto start = sim::Clock::now();
    sim::Keyboard::tapModifier(opt, start);
    sim::Keyboard::tapModifier(opt, start + std::chrono::milliseconds(100));
    sim::Keyboard::pressAndRelease(46, cmd);
    sim::MainLoop::runUntilIdle();
    EXPECT_TRUE(fired_.empty());
    RemoveEventHandler(probe);
}

TEST_F(HotKeyCenterTest, EventsWithoutAnIdOrForNoHotKey) {
    EventRef event = nullptr;
    CreateEvent(nullptr, kEventClassKeyboard, kEventHotKeyPressed, 0, 0, &event);
    EXPECT_EQ(HotKeyCenter::hotKeyEventHandler(nullptr, event, center_.get()),
              eventParameterNotFoundErr);
    const EventHotKeyID unknown{0, 99};
    SetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, sizeof unknown, &unknown);
    EXPECT_EQ(HotKeyCenter::hotKeyEventHandler(nullptr, event, center_.get()), noErr);
    ReleaseEvent(event);
    sim::MainLoop::runUntilIdle();
    EXPECT_TRUE(fired_.empty());
}

TEST_F(HotKeyCenterTest, HotKeysRegisterWithTheSharedCenter) {
    auto hotKey = make("shared", KeyCombo::init(Key::j, cmd | opt));
    ASSERT_TRUE(hotKey->register_());
    EXPECT_EQ(HotKeyCenter::shared()->hotKeys().count("shared"), 1u);
    hotKey->unregister();
    EXPECT_EQ(HotKeyCenter::shared()->hotKeys().count("shared"), 0u);
    EXPECT_TRUE(sim::Keyboard::registeredHotKeys().empty());
}

TEST(HotKey, Equality) {
    auto combo = KeyCombo::init(Key::m, cmd);
    auto a = HotKey::init("a", combo, ActionQueue::main, nullptr);
    auto b = HotKey::init("a", KeyCombo::init(Key::m, cmd), ActionQueue::session, nullptr);
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_FALSE(a->isEqual(*HotKey::init("b", combo, ActionQueue::main, nullptr)));
    EXPECT_FALSE(
        a->isEqual(*HotKey::init("a", KeyCombo::init(Key::m, shift), ActionQueue::main, nullptr)));
    EXPECT_EQ(HotKey::init("a", nullptr, ActionQueue::main, nullptr), nullptr);
}

}  // namespace
