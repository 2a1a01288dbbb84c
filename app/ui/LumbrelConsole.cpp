#include "app/ui/LumbrelConsole.h"

#include <functional>
#include <iostream>
#include <map>
#include <sstream>

#include "app/hotkeys/HotKey.h"
#include "app/hotkeys/HotKeyCenter.h"
#include "app/settings/AppSettings.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/AppWindows.h"
#include "app/ui/LoginItem.h"
#include "app/ui/ServicesConsole.h"
#include "app/ui/SettingsReport.h"
#include "app/ui/WindowConsole.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/audio/SimAudioHardware.h"
#include "platform/bezel/BHBezelNotification.h"
#include "platform/console/Console.h"
#include "platform/servicemanagement/SMLoginItem.h"
#include "platform/updater/SUUpdater.h"
#include "services/analytics/APMAnalytics.h"

namespace {

using K = Defaults::Keys;
using ConsoleArguments = sim::Console::Arguments;

// A setting the console can write: parses the text, answers an error or "".
struct SettingAccess {
    std::function<std::string(const std::string&)> set;
    std::function<std::string()> get;
};

std::optional<bool> parseBool(const std::string& text) {
    if (text == "true" || text == "1" || text == "yes" || text == "on") return true;
    if (text == "false" || text == "0" || text == "no" || text == "off") return false;
    return std::nullopt;
}

std::optional<std::int64_t> parseInteger(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 0);
    if (*end != '\0') return std::nullopt;
    return value;
}

SettingAccess access(const Defaults::Key<bool>& key) {
    return {[&key](const std::string& text) -> std::string {
                auto value = parseBool(text);
                if (!value) return key.name() + " takes true or false.";
                Defaults::set(key, *value);
                return "";
            },
            [&key] { return std::string(Defaults::get(key) ? "true" : "false"); }};
}

SettingAccess access(const Defaults::Key<std::int64_t>& key) {
    return {[&key](const std::string& text) -> std::string {
                auto value = parseInteger(text);
                if (!value) return key.name() + " takes a whole number.";
                Defaults::set(key, *value);
                return "";
            },
            [&key] { return std::to_string(Defaults::get(key)); }};
}

SettingAccess access(const Defaults::Key<std::string>& key) {
    return {[&key](const std::string& text) -> std::string {
                Defaults::set(key, text);
                return "";
            },
            [&key] { return Defaults::get(key); }};
}

const std::map<std::string, SettingAccess>& settings() {
    static const std::map<std::string, SettingAccess> table = [] {
        std::map<std::string, SettingAccess> t;
        for (const auto* key :
             {&K::devicesMuted(), &K::originalMuteValue(), &K::keyEnabled(),
              &K::keyDoubleModifiers(), &K::hasOpenedMicStatusWindow(), &K::showStatusWindow(),
              &K::hasShownStatusWindowOnboardingText(), &K::statusWindowHelpTextAnimation(),
              &K::rightClickShowsMenu(), &K::collectData(), &K::hasCompletedOnboarding(),
              &K::muteNotifications(), &K::startOnLogin(), &K::bluetoothWarningSeen(),
              &K::bluetoothWorkaroundNoticeSeen(), &K::SUEnableAutomaticChecks()})
            t[key->name()] = access(*key);
        for (const auto* key : {&K::keyCode(), &K::keyModifiers(), &K::menubarIcon(),
                                &K::pushToTalk(), &K::leftClickAction(), &K::rightClickAction()})
            t[key->name()] = access(*key);
        for (const auto* key : {&K::keyCodeString(), &K::keyModifiersString()})
            t[key->name()] = access(*key);
        return t;
    }();
    return table;
}

const char* modeName(std::int64_t mode) {
    static const char* const modes[] = {"toggle", "hold to talk", "hold to mute"};
    return mode >= 0 && mode <= 2 ? modes[mode] : "unknown mode";
}

// Whether the delegate's hot key is the one the registry holds.
bool isRegistered(const std::shared_ptr<HotKey>& hotKey) {
    if (!hotKey) return false;
    const auto& held = HotKeyCenter::shared()->hotKeys();
    auto it = held.find(hotKey->identifier());
    return it != held.end() && it->second == hotKey;
}

std::string names() {
    std::string out;
    for (const auto& [name, setting] : settings()) out += (out.empty() ? "" : ", ") + name;
    return out;
}

std::string deviceName(AudioObjectID device) {
    auto value = sim::AudioHardware::property(
        device, {kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal,
                 kAudioObjectPropertyElementMain});
    return value ? value->text() : "";
}

std::string deviceUID(AudioObjectID device) {
    auto value = sim::AudioHardware::property(
        device, {kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal,
                 kAudioObjectPropertyElementMain});
    return value ? value->text() : "";
}

std::string lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::optional<std::string> muteWord(AudioObjectID device) {
    auto muted = sim::AudioHardware::isMuted(device, kAudioObjectPropertyScopeInput,
                                             kAudioObjectPropertyElementMain);
    if (!muted) return std::nullopt;
    return *muted ? "muted" : "live";
}

std::string join(const ConsoleArguments& args, std::size_t from, std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to; ++i) out += (i > from ? " " : "") + args[i];
    return out;
}

std::string expect(const std::weak_ptr<AppDelegate>& weak, const ConsoleArguments& args) {
    const std::string usage =
        "Usage: expect setting <key> <value> | expect device <name> muted|live | "
        "expect all-live | expect image <name> | expect bezel <text>|none | "
        "expect shortcut registered|not-registered|none | expect opened <address> | "
        "expect update-checks <count> | expect installation registered|not-registered | "
        "expect remote-value <key> <value> | expect backend-event <name> | "
        "expect experiment <id> | expect switch <flag> on|off";
    if (args.empty()) return usage;
    if (auto fact = expectServicesFact(args)) return *fact;
    const auto& what = args[0];
    if (what == "setting" && args.size() == 3) {
        auto it = settings().find(args[1]);
        if (it == settings().end()) return "No setting \"" + args[1] + "\".";
        auto actual = it->second.get();
        if (actual != args[2])
            return "Expected " + args[1] + " = " + args[2] + ", found " + actual + ".";
        return "";
    }
    if (what == "device" && args.size() >= 3) {
        auto name = join(args, 1, args.size() - 1);
        for (auto device : sim::AudioHardware::devices()) {
            if (lower(deviceName(device)) != lower(name) && lower(deviceUID(device)) != lower(name))
                continue;
            auto word = muteWord(device).value_or("no mute control");
            if (word != args.back())
                return "Expected " + name + " to be " + args.back() + ", it is " + word + ".";
            return "";
        }
        return "No device \"" + name + "\".";
    }
    if (what == "all-live" && args.size() == 1) {
        for (auto device : sim::AudioHardware::devices()) {
            if (muteWord(device) == std::optional<std::string>("muted"))
                return "Expected every microphone live; " + deviceName(device) + " is muted.";
        }
        return "";
    }
    if (what == "image" && args.size() == 2) {
        if (sim::StatusBar::imageName() != args[1])
            return "Expected the status image " + args[1] + ", it is " +
                   sim::StatusBar::imageName() + ".";
        return "";
    }
    if (what == "shortcut" && args.size() == 2) {
        auto delegate = weak.lock();
        std::string found = !Defaults::get(K::keyEnabled()) ? "none"
                            : delegate && isRegistered(delegate->hotKeyListener())
                                ? "registered"
                                : "not-registered";
        if (found != args[1]) return "Expected the shortcut " + args[1] + ", it is " + found + ".";
        return "";
    }
    if (what == "opened" && args.size() == 2) {
        auto opened = sim::Workspace::openedURLs();
        if (opened.empty() || opened.back() != args[1])
            return "Expected " + args[1] + " to be the address opened last, it is " +
                   (opened.empty() ? std::string("none") : opened.back()) + ".";
        return "";
    }
    if (what == "update-checks" && args.size() == 2) {
        auto count = std::to_string(sim::Updater::checks().size());
        if (count != args[1])
            return "Expected " + args[1] + " update checks, there were " + count + ".";
        return "";
    }
    if (what == "bezel" && args.size() >= 2) {
        auto text = join(args, 1, args.size());
        auto bezel = sim::Bezels::current();
        auto shown = bezel ? bezel->messageText : "none";
        if (shown != text) return "Expected the bezel " + text + ", it is " + shown + ".";
        return "";
    }
    return usage;
}

}  // namespace

std::string inputDeviceSummary() {
    std::ostringstream out;
    for (auto device : sim::AudioHardware::devices()) {
        if (auto word = muteWord(device))
            out << "  " << deviceName(device) << ": " << *word << "\n";
    }
    return out.str();
}

void addLumbrelCommands(sim::Console& console, const std::shared_ptr<AppDelegate>& delegate) {
    std::weak_ptr<AppDelegate> weak = delegate;
    auto& out = std::cout;
    addWindowCommands(console, delegate);

    console.addCommand("settings", "settings", "print Lumbrel's settings",
                       [&out](const ConsoleArguments&) -> std::string {
                           for (const auto& line : settingsReport()) out << "  " << line << "\n";
                           out.flush();
                           return "";
                       });
    console.addCommand("set", "set <setting> <value>",
                       "change a setting as the preferences window would",
                       [&console](const ConsoleArguments& args) -> std::string {
                           if (args.size() < 2) return "Usage: set <setting> <value>";
                           auto it = settings().find(args[0]);
                           if (it == settings().end())
                               return "No setting \"" + args[0] + "\". Settings: " + names() + ".";
                           auto error = it->second.set(join(args, 1, args.size()));
                           if (error.empty())
                               console.say("Set " + args[0] + " to " + it->second.get() + ".");
                           return error;
                       });
    console.addCommand("pushtotalk", "pushtotalk 0|1|2",
                       "shortcut mode: 0 toggle, 1 hold to talk, 2 hold to mute",
                       [&console](const ConsoleArguments& args) -> std::string {
                           auto mode = args.size() == 1 ? parseInteger(args[0]) : std::nullopt;
                           if (!mode || *mode < 0 || *mode > 2) return "Usage: pushtotalk 0|1|2";
                           Defaults::set(K::pushToTalk(), *mode);
                           console.say(std::string("Shortcut mode: ") + modeName(*mode) + ".");
                           return "";
                       });
    console.addCommand("session", "session resign|activate",
                       "another user's session takes over, or this one comes back",
                       [&console](const ConsoleArguments& args) -> std::string {
                           if (args.size() == 1 && args[0] == "resign") {
                               sim::Workspace::resignSessionActive();
                               console.say("Another user's session took over.");
                           } else if (args.size() == 1 && args[0] == "activate") {
                               sim::Workspace::becomeSessionActive();
                               console.say("This user's session is active again.");
                           } else {
                               return "Usage: session resign|activate";
                           }
                           return "";
                       });
    console.addCommand("update", "update offer <version>|none",
                       "what the update feed offers from now on",
                       [&console](const ConsoleArguments& args) -> std::string {
                           if (args.size() == 2 && args[0] == "offer") {
                               sim::Updater::offerUpdate(args[1]);
                               console.say("The update feed offers version " + args[1] + ".");
                           } else if (args.size() == 1 && args[0] == "none") {
                               sim::Updater::offerNoUpdate();
                               console.say("The update feed offers nothing new.");
                           } else {
                               return "Usage: update offer <version>|none";
                           }
                           return "";
                       });
    console.addCommand(
        "expect",
        "expect setting|device|all-live|image|bezel|shortcut|opened|update-checks|installation|"
        "remote-value|backend-event|experiment|switch ...",
        "check a fact (for scripts): a failed check counts as an error",
        [weak](const ConsoleArguments& args) { return expect(weak, args); });

    console.addStateSection([weak](std::ostream& s) {
        auto delegate = weak.lock();
        s << "Lumbrel: " << (Defaults::get(K::devicesMuted()) ? "muted" : "live");
        if (!Defaults::get(K::keyEnabled())) {
            s << ", no shortcut";
        } else {
            const bool doubled = Defaults::get(K::keyDoubleModifiers());
            s << ", shortcut " << Defaults::get(K::keyModifiersString())
              << (doubled ? "" : Defaults::get(K::keyCodeString())) << " ("
              << (doubled ? "toggle" : modeName(Defaults::get(K::pushToTalk()))) << ")";
            if (delegate)
                s << (isRegistered(delegate->hotKeyListener()) ? ", registered"
                                                               : ", not registered");
        }
        s << "\n";
        s << "Launch at login: "
          << (sim::LoginItems::isEnabled(kLoginItemIdentifier) ? "registered" : "not registered")
          << "\n";
        if (delegate) {
            const auto& w = delegate->windows();
            s << "Windows open:" << (w.isStatusWindowOpen() ? " [Status Window]" : "")
              << (w.isPreferencesWindowOpen() ? " [Preferences]" : "")
              << (w.isAboutWindowOpen() ? " [About]" : "")
              << (w.isOnboardingWindowOpen() ? " [Onboarding]" : "") << "\n";
        }
        auto opened = sim::Workspace::openedURLs();
        s << "Addresses opened: " << opened.size() << "\n";
        for (const auto& url : opened) s << "  " << url << "\n";
        auto checks = sim::Updater::checks();
        s << "Update checks: " << checks.size() << "\n";
        for (const auto& check : checks)
            s << "  " << (check.userInitiated ? "asked by the user" : "in the background") << ": "
              << (check.foundVersion ? "version " + *check.foundVersion + " offered"
                                     : std::string("no update"))
              << "\n";
        auto events = APMAnalytics::loggedEvents();
        s << "Analytics events kept: " << events.size();
        if (!events.empty()) s << ", last \"" << events.back().name << "\"";
        s << "\n";
    });
}
