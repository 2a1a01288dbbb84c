#include "app/ui/PreferencesView.h"

#include "app/ui/KeyboardShortcutView.h"
#include "app/ui/PreferenceSections.h"
#include "platform/bundle/NSProcessInfo.h"

View PreferencesView::body() const {
    // Asked at every evaluation: the insets differ on systems before 12.
    const bool atLeast12 =
        NSProcessInfo::processInfo()->isOperatingSystemAtLeastVersion({12, 0, 0});
    View shortcut = View(HotKeyView());
    if (atLeast12) shortcut = shortcut.padding(Edge::top).padding(Edge::leading, -2);
    View privacy = View(PrivacyView());
    if (atLeast12) privacy = privacy.padding(Edge::bottom);
    View column = VStack(HorizontalAlignment::leading, std::nullopt,
                         {shortcut, View(PushToTalkView()), View(MenuBarDisplayView()),
                          View(NotificationsView()), View(StartupView(true)), privacy});
    return VStack(HorizontalAlignment::center, std::nullopt,
                  {VStack(HorizontalAlignment::center, std::nullopt, {column})})
        .padding()
        .frame(FlexibleFrame{.maxWidth = infinity, .maxHeight = infinity});
}
