#include "platform/console/Console.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/appkit/AppKit.h"
#include "platform/appkit/NSMenu.h"
#include "platform/appkit/NSStatusBar.h"
#include "platform/audio/SimAudioHardware.h"
#include "platform/bezel/BHBezelNotification.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/Activity.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/input/Keyboard.h"
#include "platform/log/Log.h"
#include "platform/net/NSURLSession.h"

namespace sim {
namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A menu title as a person types it: any letter case, and "..." for the
// ellipsis.
std::string typedTitle(const std::string& title) {
    std::string text = title;
    for (std::size_t at = text.find("..."); at != std::string::npos; at = text.find("...", at))
        text.replace(at, 3, "\u2026");
    std::string folded;
    icu::UnicodeString::fromUTF8(text).foldCase().toUTF8String(folded);
    return folded;
}

std::string deviceText(AudioObjectID device, AudioObjectPropertySelector selector) {
    auto value = AudioHardware::property(
        device, {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain});
    return value ? value->text() : "";
}

// A device by its name or UID, case-insensitively.
std::optional<AudioObjectID> findDevice(const std::string& nameOrUID) {
    for (auto device : AudioHardware::devices()) {
        if (lower(deviceText(device, kAudioObjectPropertyName)) == lower(nameOrUID) ||
            lower(deviceText(device, kAudioDevicePropertyDeviceUID)) == lower(nameOrUID))
            return device;
    }
    return std::nullopt;
}

bool hasInput(AudioObjectID device) {
    return !AudioHardware::streams(device, kAudioObjectPropertyScopeInput).empty();
}

std::string muteText(AudioObjectID device) {
    auto muted = AudioHardware::isMuted(device, kAudioObjectPropertyScopeInput,
                                        kAudioObjectPropertyElementMain);
    if (!muted) return "no mute control";
    return *muted ? "muted" : "live";
}

std::optional<NSEventModifierFlags> modifierNamed(const std::string& name) {
    auto n = lower(name);
    if (n == "cmd" || n == "command") return NSEventModifierFlagCommand;
    if (n == "shift") return NSEventModifierFlagShift;
    if (n == "option" || n == "alt") return NSEventModifierFlagOption;
    if (n == "control" || n == "ctrl") return NSEventModifierFlagControl;
    return std::nullopt;
}

NSEventModifierFlags cocoaFromCarbon(std::int64_t carbon) {
    NSEventModifierFlags flags = 0;
    if (carbon & 0x100) flags |= NSEventModifierFlagCommand;
    if (carbon & 0x200) flags |= NSEventModifierFlagShift;
    if (carbon & 0x800) flags |= NSEventModifierFlagOption;
    if (carbon & 0x1000) flags |= NSEventModifierFlagControl;
    return flags;
}

struct StoredShortcut {
    UInt16 keyCode;
    NSEventModifierFlags modifiers;
    bool doubled;
    std::string name;  // as the program shows it, "⇧⌘M" or "⌥ (twice)"
};

// The shortcut as the program stored it (the physical key of its QWERTY
// code), falling back to the built-in one.
StoredShortcut storedShortcut() {
    auto defaults = NSUserDefaults::standardUserDefaults();
    auto code = defaults->objectForKey("keyCode") ? defaults->integerForKey("keyCode") : 46;
    auto mods =
        defaults->objectForKey("keyModifiers") ? defaults->integerForKey("keyModifiers") : 0x300;
    const bool doubled = defaults->boolForKey("keyDoubleModifiers");
    auto name = defaults->stringForKey("keyModifiersString").value_or("");
    if (!doubled) name += defaults->stringForKey("keyCodeString").value_or("");
    if (name.empty()) name = "the shortcut";
    return {static_cast<UInt16>(code), cocoaFromCarbon(mods), doubled, name};
}

AudioDeviceConfig configFor(const std::string& kind, const std::string& name) {
    static int counter = 0;
    ++counter;
    auto suffix = "-SIM-" + std::to_string(counter);
    AudioDeviceConfig config;
    auto k = lower(kind);
    if (k == "usb-mic" || k == "usb")
        config = AudioDeviceConfig::usbMicrophone("USB" + suffix);
    else if (k == "bluetooth" || k == "bt")
        config = AudioDeviceConfig::bluetoothHeadset("BT" + suffix);
    else if (k == "bluetooth-le" || k == "ble")
        config = AudioDeviceConfig::bluetoothLEHeadset("BLE" + suffix);
    else if (k == "builtin-mic")
        config = AudioDeviceConfig::builtInMicrophone();
    else if (k == "virtual-mixer") {
        // Another program's virtual device that mixes the others into one.
        config = AudioDeviceConfig::inputOnly("MIXER" + suffix, "Virtual Mixer", 2);
        config.modelUID = "com.vendorsoft.VAE:proxy";
        config.transportType = kAudioDeviceTransportTypeVirtual;
    } else if (k == "input")
        config = AudioDeviceConfig::inputOnly("IN" + suffix, name.empty() ? "Microphone" : name);
    else if (k == "output")
        config = AudioDeviceConfig::outputOnly("OUT" + suffix, name.empty() ? "Speakers" : name);
    else
        return {};
    if (!name.empty()) config.name = name;
    return config;
}

std::string join(const std::vector<std::string>& words, std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < words.size(); ++i) out += (i > from ? " " : "") + words[i];
    return out;
}

}  // namespace

std::vector<std::string> splitCommandLine(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, inWord = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

Console::Console(std::ostream& out) : out_(out), log_(std::make_unique<LogCapture>()) {
    addBuiltIns();
    // The person sees each alert as it comes up, and closes it with its
    // first button, as the simulated platform does.
    Alerts::setResponder([this](NSAlert& alert) {
        out_ << "Alert: \"" << alert.messageText() << "\"";
        if (!alert.buttons().empty()) out_ << ", closed with \"" << alert.buttons().front() << "\"";
        out_ << "\n";
        std::istringstream text(alert.informativeText());
        for (std::string line; std::getline(text, line);)
            if (!line.empty()) out_ << "  " << line << "\n";
        out_.flush();
        return NSAlertFirstButtonReturn;
    });
}

Console::~Console() {
    Alerts::resetResponder();
}

void Console::say(const std::string& line) {
    out_ << line << std::endl;
}

void Console::sayStillBusy() {
    std::ostringstream line;
    line << "The program was still busy after " << std::chrono::duration<double>(patience()).count()
         << " s of real time (" << busyDispatchBlocks() << " block(s) at work, "
         << activeTransferCount()
         << " request(s) in flight): what follows may differ from run to run.";
    say(line.str());
}

namespace {

std::chrono::milliseconds patienceFromEnvironment() {
    const char* text = std::getenv("LUMBREL_CONSOLE_PATIENCE");
    char* end = nullptr;
    const double seconds = text ? std::strtod(text, &end) : 0;
    if (!text || *end != '\0' || !(seconds > 0) || seconds > 3600)
        return std::chrono::milliseconds(20000);
    return std::chrono::milliseconds(static_cast<long>(seconds * 1000));
}

std::atomic<long> gPatienceMillis{patienceFromEnvironment().count()};

}  // namespace

std::chrono::milliseconds Console::patience() {
    return std::chrono::milliseconds(gPatienceMillis.load());
}

void Console::setPatience(std::chrono::milliseconds patience) {
    gPatienceMillis = patience.count();
}

bool Console::settle() {
    return settleUntil(std::chrono::steady_clock::now() + patience());
}

bool Console::settleUntil(std::chrono::steady_clock::time_point deadline) {
    const auto quiet = [] {
        return MainLoop::pendingCount() == 0 && busyDispatchBlocks() == 0 &&
               activeTransferCount() == 0;
    };
    for (;;) {
        for (int round = 0; round < 4; ++round) {
            AudioHardware::flush();
            if (MainLoop::runUntilIdle() == 0 && round > 0) break;
        }
        if (quiet()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        MainLoop::runUntil(quiet,
                           std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) +
                               std::chrono::milliseconds(1));
    }
}

void Console::addCommand(const std::string& name, const std::string& usage, const std::string& help,
                         Handler handler) {
    commands_[name] = {usage, help, std::move(handler)};
}

void Console::addStateSection(std::function<void(std::ostream&)> section) {
    stateSections_.push_back(std::move(section));
}

bool Console::execute(const std::string& line) {
    auto words = splitCommandLine(line);
    if (words.empty() || words[0][0] == '#') return !quit_;
    auto it = commands_.find(lower(words[0]));
    if (it == commands_.end()) {
        out_ << "Unknown command \"" << words[0] << "\". Type help for the list." << std::endl;
        ++failures_;
        return !quit_;
    }
    Arguments args(words.begin() + 1, words.end());
    // One patience for the whole command: what it shows and what it did.
    commandDeadline_ = std::chrono::steady_clock::now() + patience();
    bool settled = settleUntil(commandDeadline_);
    auto error = it->second.handler(args);
    if (!error.empty()) {
        out_ << error << std::endl;
        ++failures_;
    }
    settled = settleUntil(commandDeadline_) && settled;
    if (!settled) sayStillBusy();
    return !quit_;
}

bool Console::runScript(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        out_ << "Cannot read script " << path << std::endl;
        return false;
    }
    const int before = failures_;
    std::string line;
    while (!quit_ && std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        out_ << "> " << line << std::endl;
        execute(line);
    }
    return failures_ == before;
}

std::string Console::state() {
    std::ostringstream s;
    s << "Status item: image " << (StatusBar::item() ? StatusBar::imageName() : "(none)")
      << (StatusBar::imageIsTemplate() ? " (template)" : "") << "\n";
    if (auto menu = Menus::openMenu()) {
        s << "Open menu:";
        for (const auto& title : Menus::titles()) s << " [" << title << "]";
        s << "\n";
    }
    s << "Devices:\n";
    for (auto device : AudioHardware::devices()) {
        if (!hasInput(device)) continue;
        s << "  " << deviceText(device, kAudioObjectPropertyName) << ": " << muteText(device)
          << (AudioHardware::defaultInputDevice() == device ? " (default input)" : "") << "\n";
    }
    if (auto bezel = Bezels::current())
        s << "Bezel on screen: \"" << bezel->messageText << "\" (" << bezel->iconName << ")\n";
    auto alerts = Alerts::shown();
    s << "Alerts shown: " << alerts.size() << "\n";
    for (const auto& alert : alerts) s << "  \"" << alert.messageText << "\"\n";
    for (const auto& section : stateSections_) section(s);
    return s.str();
}

void Console::addBuiltIns() {
    addCommand("help", "help", "list the commands", [this](const Arguments&) {
        for (const auto& [name, command] : commands_)
            out_ << "  " << command.usage
                 << std::string(command.usage.size() < 36 ? 36 - command.usage.size() : 1, ' ')
                 << command.help << "\n";
        out_.flush();
        return std::string();
    });
    addCommand("quit", "quit", "quit Lumbrel", [this](const Arguments&) {
        quit_ = true;
        return std::string();
    });
    addCommand("shortcut", "shortcut press|release|tap",
               "press, release, or press and release the stored shortcut",
               [this](const Arguments& args) -> std::string {
                   if (args.size() != 1) return "Usage: shortcut press|release|tap";
                   auto shortcut = storedShortcut();
                   const auto& what = args[0];
                   if (shortcut.doubled) {
                       if (what != "tap") return "The shortcut is a double tap: use shortcut tap.";
                       Keyboard::tapModifier(shortcut.modifiers);
                       Keyboard::tapModifier(shortcut.modifiers);
                       say("Tapped " + shortcut.name + ".");
                       return "";
                   }
                   if (what == "press") {
                       Keyboard::press(shortcut.keyCode, shortcut.modifiers);
                       say("Pressed " + shortcut.name + " (held).");
                   } else if (what == "release") {
                       Keyboard::release(shortcut.keyCode);
                       say("Released " + shortcut.name + ".");
                   } else if (what == "tap") {
                       Keyboard::pressAndRelease(shortcut.keyCode, shortcut.modifiers);
                       say("Pressed and released " + shortcut.name + ".");
                   } else {
                       return "Usage: shortcut press|release|tap";
                   }
                   return "";
               });
    addCommand("key", "key press|release <code> [cmd shift option control]",
               "press or release a key by its key code, with modifiers",
               [this](const Arguments& args) -> std::string {
                   if (args.size() < 2) return "Usage: key press|release <code> [modifiers]";
                   char* end = nullptr;
                   long code = std::strtol(args[1].c_str(), &end, 10);
                   if (*end != '\0' || code < 0 || code > 127) return "Key code must be 0 to 127.";
                   NSEventModifierFlags flags = 0;
                   for (std::size_t i = 2; i < args.size(); ++i) {
                       auto flag = modifierNamed(args[i]);
                       if (!flag) return "Unknown modifier \"" + args[i] + "\".";
                       flags |= *flag;
                   }
                   if (args[0] == "press")
                       Keyboard::press(static_cast<UInt16>(code), flags);
                   else if (args[0] == "release")
                       Keyboard::release(static_cast<UInt16>(code));
                   else
                       return "Usage: key press|release <code> [modifiers]";
                   say((args[0] == "press" ? "Pressed key " : "Released key ") + args[1] +
                       (args.size() > 2 ? " with " + join(args, 2) : std::string()) + ".");
                   return "";
               });
    addCommand("double-tap", "double-tap cmd|shift|option|control",
               "tap a modifier key twice in quick succession",
               [this](const Arguments& args) -> std::string {
                   if (args.size() != 1) return "Usage: double-tap cmd|shift|option|control";
                   auto flag = modifierNamed(args[0]);
                   if (!flag) return "Unknown modifier \"" + args[0] + "\".";
                   Keyboard::tapModifier(*flag);
                   Keyboard::tapModifier(*flag);
                   say("Tapped " + lower(args[0]) + " twice.");
                   return "";
               });
    addCommand("click", "click [left|right|control]",
               "click the status item (control: a left click with Control held)",
               [this](const Arguments& args) -> std::string {
                   if (!StatusBar::item()) return "There is no status item.";
                   auto how = args.empty() ? "left" : lower(args[0]);
                   if (how == "left")
                       StatusBar::click(MouseButton::left);
                   else if (how == "right")
                       StatusBar::click(MouseButton::right);
                   else if (how == "control")
                       StatusBar::click(MouseButton::left, NSEventModifierFlagControl);
                   else
                       return "Usage: click [left|right|control]";
                   say(how == "control" ? "Clicked the status item with Control held."
                                        : "Clicked the status item (" + how + ").");
                   return "";
               });
    addCommand("menu", "menu", "show the items of the open menu",
               [this](const Arguments&) -> std::string {
                   if (!Menus::openMenu()) return "No menu is open.";
                   for (const auto& item : Menus::items()) {
                       if (item.separator) {
                           out_ << "  ----\n";
                           continue;
                       }
                       out_ << "  " << (item.state == NSControlStateValueOn ? "* " : "  ")
                            << item.title << (item.enabled ? "" : " (disabled)") << "\n";
                   }
                   out_.flush();
                   return "";
               });
    addCommand("choose", "choose <menu item title>",
               "choose an item of the open menu (any letter case; ... for …)",
               [this](const Arguments& args) -> std::string {
                   if (args.empty()) return "Usage: choose <menu item title>";
                   if (!Menus::openMenu()) return "No menu is open.";
                   const auto typed = join(args, 0);
                   std::optional<std::string> title;
                   for (const auto& item : Menus::items())
                       if (!item.separator && item.enabled &&
                           typedTitle(item.title) == typedTitle(typed)) {
                           title = item.title;
                           break;
                       }
                   if (!title) return "No enabled item \"" + typed + "\" in the menu.";
                   // Said first: the item may end the program.
                   say("Chose \"" + *title + "\".");
                   Menus::choose(*title);
                   return "";
               });
    addCommand("close-menu", "close-menu", "dismiss the open menu",
               [this](const Arguments&) -> std::string {
                   if (!Menus::openMenu()) return "No menu is open.";
                   Menus::close();
                   say("Closed the menu.");
                   return "";
               });
    addCommand("devices", "devices", "list the audio devices", [this](const Arguments&) {
        for (auto device : AudioHardware::devices()) {
            out_ << "  " << deviceText(device, kAudioObjectPropertyName) << " ["
                 << deviceText(device, kAudioDevicePropertyDeviceUID) << "] "
                 << (hasInput(device) ? muteText(device) : "output only")
                 << (AudioHardware::defaultInputDevice() == device ? " (default input)" : "")
                 << "\n";
        }
        out_.flush();
        return std::string();
    });
    addCommand("plug",
               "plug usb-mic|bluetooth|bluetooth-le|builtin-mic|input|output|virtual-mixer [name]",
               "connect an audio device", [this](const Arguments& args) -> std::string {
                   if (args.empty()) return "Usage: plug <kind> [name]";
                   auto config = configFor(args[0], join(args, 1));
                   if (config.uid.empty()) return "Unknown device kind \"" + args[0] + "\".";
                   if (findDevice(config.uid)) return "That device is connected already.";
                   AudioHardware::addDevice(config);
                   say("Connected \"" + config.name + "\" [" + config.uid + "].");
                   return "";
               });
    addCommand("unplug", "unplug <name or uid>", "disconnect an audio device",
               [this](const Arguments& args) -> std::string {
                   auto device = findDevice(join(args, 0));
                   if (!device) return "No device \"" + join(args, 0) + "\".";
                   auto name = deviceText(*device, kAudioObjectPropertyName);
                   AudioHardware::removeDevice(*device);
                   say("Disconnected \"" + name + "\".");
                   return "";
               });
    addCommand(
        "default-input", "default-input <name or uid>", "make a device the default input",
        [this](const Arguments& args) -> std::string {
            auto device = findDevice(join(args, 0));
            if (!device) return "No device \"" + join(args, 0) + "\".";
            if (!hasInput(*device)) return "That device has no input.";
            AudioHardware::setDefaultInputDevice(*device);
            say("\"" + deviceText(*device, kAudioObjectPropertyName) + "\" is the default input.");
            return "";
        });
    addCommand("external-mute", "external-mute <name or uid> on|off",
               "another program mutes or unmutes a device",
               [this](const Arguments& args) -> std::string {
                   if (args.size() < 2) return "Usage: external-mute <name or uid> on|off";
                   auto onOff = lower(args.back());
                   if (onOff != "on" && onOff != "off") return "Say on or off.";
                   auto name = join(Arguments(args.begin(), args.end() - 1), 0);
                   auto device = findDevice(name);
                   if (!device) return "No device \"" + name + "\".";
                   if (!AudioHardware::setMute(*device, kAudioObjectPropertyScopeInput,
                                               kAudioObjectPropertyElementMain, onOff == "on"))
                       return "That device has no mute control.";
                   say(std::string("Another program ") + (onOff == "on" ? "muted" : "unmuted") +
                       " \"" + deviceText(*device, kAudioObjectPropertyName) + "\".");
                   return "";
               });
    addCommand(
        "lid", "lid close|open", "close or open the laptop's lid (an external display stays)",
        [this](const Arguments& args) -> std::string {
            if (args.size() != 1) return "Usage: lid close|open";
            const NSRect builtIn{{0, 0}, {1512, 982}};
            const NSRect external{{1512, 0}, {2560, 1440}};
            if (args[0] == "close")
                Screens::set({{"DELL U2720Q", external}});
            else if (args[0] == "open")
                Screens::set({{"Built-in Retina Display", builtIn}, {"DELL U2720Q", external}});
            else
                return "Usage: lid close|open";
            say(args[0] == "close" ? "Closed the lid: only the external display is left."
                                   : "Opened the lid.");
            return "";
        });
    addCommand(
        "wait", "wait <seconds>", "let simulated time pass",
        [this](const Arguments& args) -> std::string {
            if (args.size() != 1) return "Usage: wait <seconds>";
            char* end = nullptr;
            double seconds = std::strtod(args[0].c_str(), &end);
            if (*end != '\0' || !(seconds >= 0) || seconds > 86400)
                return "Give 0 to 86400 seconds.";
            if (isVirtualClock())
                advanceAndRun(sim::seconds(seconds), [this] { settleUntil(commandDeadline_); });
            else
                MainLoop::runFor(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
            std::ostringstream text;
            text << seconds << (seconds == 1 ? " second" : " seconds") << " passed.";
            say(text.str());
            return "";
        });
    addCommand("state", "state", "show the status item, devices, bezel, alerts and more",
               [this](const Arguments&) {
                   out_ << state();
                   out_.flush();
                   return std::string();
               });
    addCommand("log", "log [count]", "show the most recent log lines",
               [this](const Arguments& args) -> std::string {
                   std::size_t count = 20;
                   if (!args.empty()) {
                       char* end = nullptr;
                       long n = std::strtol(args[0].c_str(), &end, 10);
                       if (*end != '\0' || n <= 0) return "Usage: log [count]";
                       count = static_cast<std::size_t>(n);
                   }
                   auto lines = log_->lines();
                   for (std::size_t i = lines.size() > count ? lines.size() - count : 0;
                        i < lines.size(); ++i)
                       out_ << "  " << lines[i] << "\n";
                   out_.flush();
                   return "";
               });
}

}  // namespace sim
