#include "app/mute/MuteEventSource.h"

#include <array>
#include <utility>

#include "app/settings/AppSettings.h"
#include "services/analytics/ZAROduzozova.h"

namespace {

const std::array<std::pair<MuteEventSource, std::string>, 6>& table() {
    static const std::array<std::pair<MuteEventSource, std::string>, 6> entries{{
        {MuteEventSource::keyboardShortcut, "Keyboard: toggle"},
        {MuteEventSource::pushToTalk, "Keyboard: Hold to speak"},
        {MuteEventSource::pushToMute, "Keyboard: Hold to mute"},
        {MuteEventSource::menuBarDropdownItem, "Menubar: Dropdown List Item"},
        {MuteEventSource::menuBarItem, "Menubar: Icon"},
        {MuteEventSource::statusWindow, "Status Window"},
    }};
    return entries;
}

}  // namespace

const std::string& rawValue(MuteEventSource source) {
    for (const auto& [value, raw] : table())
        if (value == source) return raw;
    return table().front().second;
}

std::optional<MuteEventSource> muteEventSourceFromRawValue(std::string_view raw) {
    for (const auto& [value, text] : table())
        if (text == raw) return value;
    return std::nullopt;
}

void logMicMute(MuteEventSource source) {
    Dictionary parameters{{"source", rawValue(source)}};
    if (source == MuteEventSource::keyboardShortcut || source == MuteEventSource::pushToMute ||
        source == MuteEventSource::pushToTalk) {
        parameters.set("shortcut", Defaults::get(Defaults::Keys::keyModifiersString()) +
                                       Defaults::get(Defaults::Keys::keyCodeString()));
    }
    ZAROduzozova::logEventWithName("mic_muted", parameters);
}
