#pragma once
// Names for the integer values of three groups of settings. The settings
// themselves hold plain integers; readers compare the integers directly with
// the fallbacks below, so an unknown stored number never fails.

#include <cstdint>
#include <optional>

enum class PushToTalk : std::int64_t { disabled = 0, holdToSpeak = 1, holdToMute = 2 };
enum class ClickAction : std::int64_t { showMenu = 0, toggleMute = 1, toggleStatusWindow = 2 };
enum class MenubarIcon : std::int64_t { monochrome = 0, color = 1 };

// Construction from a raw integer: none for an integer outside the table.
std::optional<PushToTalk> pushToTalkFromRaw(std::int64_t raw);
std::optional<ClickAction> clickActionFromRaw(std::int64_t raw);
std::optional<MenubarIcon> menubarIconFromRaw(std::int64_t raw);

template <class E>
constexpr std::int64_t rawValue(E e) {
    return static_cast<std::int64_t>(e);
}

// How readers interpret a stored integer: only 1 and 2 are hold modes; 2 and
// 1 are the two click actions and everything else opens the menu; only 0 is
// monochrome.
PushToTalk interpretPushToTalk(std::int64_t stored);
ClickAction interpretClickAction(std::int64_t stored);
MenubarIcon interpretMenubarIcon(std::int64_t stored);

// The click actions that follow a change of `rightClickShowsMenu`.
struct ClickActions {
    ClickAction left;
    ClickAction right;
};
ClickActions clickActionsFor(bool rightClickShowsMenu);
