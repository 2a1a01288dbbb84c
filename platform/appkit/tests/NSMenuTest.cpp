#include "platform/appkit/NSMenu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSStatusBar.h"

namespace {

std::vector<std::string> events;

// The application delegate: answers the menu's and the button's actions,
// refuses "disabledByValidation:" through validateMenuItem:.
class ShellDelegate : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<ShellDelegate>("MenuTest.ShellDelegate")
                .method("quitWithSender:",
                        [](ShellDelegate& self, const id& sender) {
                            events.push_back("quit");
                            self.sender = sender;
                        })
                .method("toggleMuteFromMenuWithSender:",
                        [](ShellDelegate&, const id&) { events.push_back("toggle"); })
                .method("disabledByValidation:", [](ShellDelegate&, const id&) {})
                .method("validateMenuItem:",
                        [](ShellDelegate&, const id& item) {
                            auto menuItem = std::dynamic_pointer_cast<NSMenuItem>(item);
                            return menuItem && sel_getName(menuItem->action()) !=
                                                   std::string("disabledByValidation:");
                        })
                .method("statusBarButtonClicked",
                        [](ShellDelegate& self) {
                            auto event = NSApplication::sharedApplication()->currentEvent();
                            self.clicks.push_back(event);
                        })
                .conformsTo(objc_getProtocol("NSApplicationDelegate"))
                .registerClass();
        return cls;
    }
    ShellDelegate() : RuntimeObject(runtimeClass()) {}
    id sender;
    std::vector<std::shared_ptr<NSEvent>> clicks;
};

class MenuDelegate : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<MenuDelegate>("MenuTest.MenuDelegate")
                .method("menuWillOpen:", [](MenuDelegate&, const id&) { events.push_back("open"); })
                .method("menuDidClose:",
                        [](MenuDelegate&, const id&) { events.push_back("closed"); })
                .conformsTo(objc_getProtocol("NSMenuDelegate"))
                .registerClass();
        return cls;
    }
    MenuDelegate() : RuntimeObject(runtimeClass()) {}
};

class MenuTest : public ::testing::Test {
  protected:
    void SetUp() override {
        events.clear();
        sim::Application::reset();
        sim::Menus::reset();
        sim::StatusBar::reset();
        NSApplication::sharedApplication()->setDelegate(shell);
    }
    void TearDown() override {
        sim::Menus::reset();
        sim::StatusBar::reset();
        sim::Application::reset();
    }

    // A status menu as the shell builds it.
    static std::shared_ptr<NSMenu> statusMenu() {
        auto menu = std::make_shared<NSMenu>("Lumbrel");
        menu->addItemWithTitle("Mute", "toggleMuteFromMenuWithSender:", "");
        menu->addItem(NSMenuItem::separatorItem());
        menu->addItemWithTitle("Preferences", SEL(), "");
        menu->addItemWithTitle("Refused", "disabledByValidation:", "");
        menu->addItemWithTitle("Nobody answers", "openAboutWindowWithSender:", "");
        menu->addItem(NSMenuItem::separatorItem());
        menu->addItemWithTitle("Quit Lumbrel", "quitWithSender:", "q");
        return menu;
    }

    std::shared_ptr<ShellDelegate> shell = std::make_shared<ShellDelegate>();
};

}  // namespace

TEST_F(MenuTest, ItemsKeepTheirAttributesAndBelongToOneMenu) {
    auto menu = statusMenu();
    auto quit = menu->itemWithTitle("Quit Lumbrel");
    ASSERT_TRUE(quit);
    EXPECT_EQ(quit->keyEquivalent(), "q");
    EXPECT_EQ(quit->keyEquivalentModifierMask(), NSEventModifierFlagCommand);
    EXPECT_EQ(menu->indexOfItem(quit), 6);
    EXPECT_EQ(quit->menu(), menu);

    quit->setTag(7);
    quit->setState(NSControlStateValueOn);
    auto payload = std::make_shared<NSObject>();
    quit->setRepresentedObject(payload);
    EXPECT_EQ(menu->itemWithTag(7), quit);
    EXPECT_EQ(quit->representedObject(), payload);

    auto other = std::make_shared<NSMenu>();
    other->addItem(quit);
    EXPECT_EQ(menu->indexOfItem(quit), -1);
    EXPECT_EQ(quit->menu(), other);
    EXPECT_EQ(menu->numberOfItems(), 6u);
    menu->removeAllItems();
    EXPECT_EQ(menu->itemAtIndex(0), nullptr);
}

TEST_F(MenuTest, AutomaticEnablingFollowsTheResponderChain) {
    auto menu = statusMenu();
    menu->popUpMenuPositioningItem(nullptr, {-1, 29}, nullptr);
    std::vector<std::pair<std::string, bool>> enabled;
    for (const auto& info : sim::Menus::items())
        if (!info.separator) enabled.emplace_back(info.title, info.enabled);
    EXPECT_EQ(enabled, (std::vector<std::pair<std::string, bool>>{{"Mute", true},
                                                                  {"Preferences", false},
                                                                  {"Refused", false},
                                                                  {"Nobody answers", false},
                                                                  {"Quit Lumbrel", true}}));
    EXPECT_EQ(sim::Menus::titles(),
              (std::vector<std::string>{"Mute", "-", "Preferences", "Refused", "Nobody answers",
                                        "-", "Quit Lumbrel"}));

    // Without automatic enabling the item's own flag counts.
    menu->setAutoenablesItems(false);
    menu->itemWithTitle("Quit Lumbrel")->setEnabled(false);
    EXPECT_TRUE(menu->itemWithTitle("Preferences")->isEnabled());
    EXPECT_FALSE(menu->itemWithTitle("Quit Lumbrel")->isEnabled());
}

TEST_F(MenuTest, ChoosingAnItemClosesTheMenuThenSendsItsActionToTheDelegate) {
    auto menu = statusMenu();
    auto delegate = std::make_shared<MenuDelegate>();
    menu->setDelegate(delegate);
    auto view = std::make_shared<NSObject>();
    EXPECT_TRUE(menu->popUpMenuPositioningItem(nullptr, {-1, 29}, view));
    EXPECT_EQ(sim::Menus::openMenu(), menu);
    EXPECT_EQ(sim::Menus::lastLocation(), (NSPoint{-1, 29}));
    EXPECT_EQ(sim::Menus::lastView(), view);

    EXPECT_FALSE(sim::Menus::choose("Preferences"));  // disabled: stays open
    EXPECT_FALSE(sim::Menus::choose("Help"));
    EXPECT_EQ(sim::Menus::openMenu(), menu);

    EXPECT_TRUE(sim::Menus::choose("Quit Lumbrel"));
    EXPECT_EQ(events, (std::vector<std::string>{"open", "closed", "quit"}));
    EXPECT_EQ(shell->sender, menu->itemWithTitle("Quit Lumbrel"));
    EXPECT_EQ(sim::Menus::openMenu(), nullptr);
    EXPECT_FALSE(sim::Menus::choose("Quit Lumbrel"));
}

TEST_F(MenuTest, MenusCloseOnCancelOnDismissAndWhenAnotherPopsUp) {
    auto first = statusMenu();
    auto second = statusMenu();
    auto delegate = std::make_shared<MenuDelegate>();
    first->setDelegate(delegate);
    second->setDelegate(delegate);

    first->popUpMenuPositioningItem(nullptr, {}, nullptr);
    second->popUpMenuPositioningItem(nullptr, {}, nullptr);
    EXPECT_EQ(sim::Menus::openMenu(), second);
    first->cancelTracking();  // not open: nothing to close
    sim::Menus::close();
    second->popUpMenuPositioningItem(nullptr, {}, nullptr);
    second->cancelTracking();
    EXPECT_EQ(events,
              (std::vector<std::string>{"open", "closed", "open", "closed", "open", "closed"}));
    EXPECT_EQ(sim::Menus::popUpCount(), 3u);

    // The menu does not keep its delegate.
    std::weak_ptr<MenuDelegate> weak = delegate;
    delegate.reset();
    EXPECT_TRUE(weak.expired());
    events.clear();
    first->popUpMenuPositioningItem(nullptr, {}, nullptr);
    sim::Menus::close();
    EXPECT_TRUE(events.empty());
}

TEST_F(MenuTest, StatusItemClicksReachTheDelegateWithTheCurrentEvent) {
    auto item = NSStatusBar::systemStatusBar()->statusItemWithLength(NSSquareStatusItemLength);
    auto button = item->button();
    auto image = std::make_shared<NSImage>("colorMic-off");
    button->setImage(image);
    button->setAccessibilityTitle("Lumbrel: Mic Off");
    button->setAction("statusBarButtonClicked");
    button->setTarget(shell);
    EXPECT_EQ(sim::StatusBar::imageName(), "colorMic-off");
    EXPECT_FALSE(sim::StatusBar::imageIsTemplate());
    EXPECT_EQ(sim::StatusBar::accessibilityTitle(), "Lumbrel: Mic Off");
    EXPECT_EQ(NSMaxY(button->bounds()), NSStatusBar::systemStatusBar()->thickness());

    // By default only the left button sends.
    EXPECT_EQ(sim::StatusBar::click(sim::MouseButton::right), sim::ClickOutcome::nothing);
    button->sendActionOn(NSEventMaskLeftMouseUp | NSEventMaskRightMouseUp);

    struct Case {
        sim::MouseButton button;
        NSEventModifierFlags modifiers;
        NSEventType type;
    };
    const std::vector<Case> cases = {
        {sim::MouseButton::left, 0, NSEventType::leftMouseUp},
        {sim::MouseButton::right, 0, NSEventType::rightMouseUp},
        {sim::MouseButton::left, NSEventModifierFlagControl, NSEventType::leftMouseUp},
    };
    for (const auto& c : cases) {
        shell->clicks.clear();
        EXPECT_EQ(sim::StatusBar::click(c.button, c.modifiers), sim::ClickOutcome::actionSent);
        ASSERT_EQ(shell->clicks.size(), 1u);
        ASSERT_TRUE(shell->clicks[0]);
        EXPECT_EQ(shell->clicks[0]->type(), c.type);
        EXPECT_EQ(shell->clicks[0]->modifierFlags(), c.modifiers);
    }
    EXPECT_EQ(NSApplication::sharedApplication()->currentEvent(), nullptr);

    // Without a target the action travels the responder chain.
    button->setTarget(nullptr);
    EXPECT_EQ(sim::StatusBar::click(), sim::ClickOutcome::actionSent);
    button->setAction("nobodyAnswers");
    EXPECT_EQ(sim::StatusBar::click(), sim::ClickOutcome::actionLost);

    // A button with a menu shows it instead.
    auto menu = statusMenu();
    button->setMenu(menu);
    EXPECT_EQ(sim::StatusBar::click(), sim::ClickOutcome::menuShown);
    EXPECT_EQ(sim::Menus::openMenu(), menu);
    EXPECT_EQ(sim::StatusBar::attachedMenu(), menu);
    EXPECT_EQ(sim::Menus::lastView(), button);
}

TEST_F(MenuTest, TheStatusBarKeepsOnlyItemsSomebodyHolds) {
    auto kept = NSStatusBar::systemStatusBar()->statusItemWithLength(NSSquareStatusItemLength);
    NSStatusBar::systemStatusBar()->statusItemWithLength(NSVariableStatusItemLength);
    EXPECT_EQ(sim::StatusBar::items(), std::vector<std::shared_ptr<NSStatusItem>>{kept});
    NSStatusBar::systemStatusBar()->removeStatusItem(kept);
    EXPECT_EQ(sim::StatusBar::item(), nullptr);
    EXPECT_EQ(sim::StatusBar::click(), sim::ClickOutcome::nothing);
    EXPECT_EQ(sim::StatusBar::imageName(), "");
}
