#include "app/settings/SettingEnums.h"

std::optional<PushToTalk> pushToTalkFromRaw(std::int64_t raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return static_cast<PushToTalk>(raw);
}

std::optional<ClickAction> clickActionFromRaw(std::int64_t raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return static_cast<ClickAction>(raw);
}

std::optional<MenubarIcon> menubarIconFromRaw(std::int64_t raw) {
    if (raw < 0 || raw > 1) return std::nullopt;
    return static_cast<MenubarIcon>(raw);
}

PushToTalk interpretPushToTalk(std::int64_t stored) {
    if (stored == 1) return PushToTalk::holdToSpeak;
    if (stored == 2) return PushToTalk::holdToMute;
    return PushToTalk::disabled;
}

ClickAction interpretClickAction(std::int64_t stored) {
    if (stored == 2) return ClickAction::toggleStatusWindow;
    if (stored == 1) return ClickAction::toggleMute;
    return ClickAction::showMenu;
}

MenubarIcon interpretMenubarIcon(std::int64_t stored) {
    return stored == 0 ? MenubarIcon::monochrome : MenubarIcon::color;
}

ClickActions clickActionsFor(bool rightClickShowsMenu) {
    if (rightClickShowsMenu) return {ClickAction::toggleMute, ClickAction::showMenu};
    return {ClickAction::showMenu, ClickAction::toggleMute};
}
