#include "app/ui/WindowConsole.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "app/hotkeys/RecordView.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/AppWindows.h"
#include "platform/appkit/AppKit.h"
#include "platform/console/Console.h"
#include "platform/input/Keyboard.h"
#include "platform/swiftui/NSHostingView.h"

namespace {

using ConsoleArguments = sim::Console::Arguments;
using WeakDelegate = std::weak_ptr<AppDelegate>;

constexpr const char* windowNames = "status|preferences|about|onboarding";

std::optional<double> number(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (*end != '\0') return std::nullopt;
    return value;
}

std::string format(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

std::string describeFrame(const NSWindow& window) {
    NSRect f = window.frame();
    return format(f.origin.x) + " " + format(f.origin.y) + " " + format(f.size.width) + " × " +
           format(f.size.height);
}

// The named window when it is open.
std::shared_ptr<NSWindow> openWindow(const WeakDelegate& weak, const std::string& name,
                                     std::string& error) {
    auto delegate = weak.lock();
    if (!delegate) {
        error = "Lumbrel is not running.";
        return nullptr;
    }
    auto window = delegate->windows().window(name);
    if (!window && name != "status" && name != "preferences" && name != "about" &&
        name != "onboarding") {
        error = std::string("Windows are ") + windowNames + ".";
        return nullptr;
    }
    if (!window || !window->isVisible()) {
        error = "The " + name + " window is not open.";
        return nullptr;
    }
    return window;
}

std::shared_ptr<RecordView> findRecorder(const std::shared_ptr<NSView>& view) {
    if (!view) return nullptr;
    if (auto recorder = std::dynamic_pointer_cast<RecordView>(view)) return recorder;
    for (const auto& sub : view->subviews())
        if (auto recorder = findRecorder(sub)) return recorder;
    return nullptr;
}

NSPoint centre(const NSWindow& window) {
    NSRect f = window.frame();
    return {f.origin.x + f.size.width / 2, f.origin.y + f.size.height / 2};
}

std::string windowCommand(sim::Console& console, const WeakDelegate& weak,
                          const ConsoleArguments& args) {
    const std::string usage = std::string("Usage: window open|close|show|frame ") + windowNames;
    if (args.size() != 2) return usage;
    const auto& what = args[0];
    const auto& name = args[1];
    auto delegate = weak.lock();
    if (!delegate) return "Lumbrel is not running.";
    if (what == "open") {
        static const std::map<std::string, const char*> actions{
            {"status", "toggleMicStatusWindowWithSender:"},
            {"preferences", "openPreferencesWindowWithSender:"},
            {"about", "openAboutWindowWithSender:"},
            {"onboarding", "openOnboardingWindowWithSender:"}};
        auto action = actions.find(name);
        if (action == actions.end()) return std::string("Windows are ") + windowNames + ".";
        auto open = delegate->windows().window(name);
        if (open && open->isVisible()) {
            // Another onboarding would be a second window over the first.
            if (name == "onboarding") return "The onboarding window is open already.";
            if (name == "status") {
                console.say("The status window is open already.");
                return "";
            }
        }
        objc_msgSend<void>(delegate.get(), action->second, id(delegate));
        auto window = delegate->windows().window(name);
        if (window && window->isVisible())
            console.say("The " + name + " window is open: \"" + window->title() + "\".");
        else if (name == "onboarding")
            console.say("Onboarding is complete: its window closed at once.");
        else
            console.say("Asked for the " + name + " window; it did not open.");
        return "";
    }
    std::string error;
    auto window = openWindow(weak, name, error);
    if (!window) return error;
    if (what == "close") {
        if (!sim::Windows::clickCloseButton(*window))
            return "The " + name + " window has no close button.";
        console.say(window->isVisible() ? "The " + name + " window stayed open."
                                        : "Closed the " + name + " window.");
        return "";
    }
    if (what == "show") {
        std::cout << "\"" << window->title() << "\" at " << describeFrame(*window) << "\n"
                  << sim::Views::dump(*window);
        return "";
    }
    if (what == "frame") {
        std::cout << describeFrame(*window) << "\n";
        return "";
    }
    return usage;
}

std::string controlCommand(sim::Console& console, const WeakDelegate& weak, const std::string& kind,
                           const ConsoleArguments& args) {
    const bool pick = kind == "pick";
    const bool press = kind == "press";
    const bool counted = press && args.size() == 3;
    if (args.size() != (pick ? 3u : 2u) && !counted)
        return "Usage: " + kind + " " + windowNames +
               (pick    ? " <picker> <option>"
                : press ? " <label> [n]"
                        : " <label>");
    std::size_t occurrence = 1;
    if (counted) {
        auto n = number(args[2]);
        if (!n || *n < 1 || *n != std::floor(*n))
            return "The count says which of the buttons with that label: 1, 2, ...";
        occurrence = static_cast<std::size_t>(*n);
    }
    std::string error;
    auto window = openWindow(weak, args[0], error);
    if (!window) return error;
    bool done = press              ? sim::Views::click(*window, args[1], occurrence)
                : kind == "toggle" ? sim::Views::toggle(*window, args[1])
                                   : sim::Views::pick(*window, args[1], args[2]);
    if (done) {
        console.say(pick    ? "Picked \"" + args[2] + "\" for \"" + args[1] + "\"."
                    : press ? "Pressed \"" + args[1] + "\"" +
                                  (counted ? " (number " + args[2] + ")" : std::string()) + "."
                            : "Switched \"" + args[1] + "\".");
        return "";
    }
    if (pick) return "No enabled picker \"" + args[1] + "\" with the option \"" + args[2] + "\".";
    return "No enabled " + std::string(press ? "button" : "toggle") + " \"" + args[1] + "\"" +
           (counted ? " number " + args[2] : std::string()) + ".";
}

std::string statusWindowCommand(sim::Console& console, const WeakDelegate& weak,
                                const ConsoleArguments& args) {
    const char* usage = "Usage: statuswindow click|drag <dx> <dy>|resize <width> <height>";
    if (args.empty()) return usage;
    std::string error;
    auto window = openWindow(weak, "status", error);
    if (!window) return error;
    if (args[0] == "click" && args.size() == 1) {
        sim::Windows::click(*window, centre(*window));
        console.say("Clicked the status window.");
        return "";
    }
    if (args.size() != 3) return usage;
    auto a = number(args[1]);
    auto b = number(args[2]);
    if (!a || !b) return usage;
    if (args[0] == "drag") {
        NSPoint from = centre(*window);
        // Steps of 2 points or more, as a hand moves: the window takes
        // movements of 1 point or less for the jitter of a click.
        const double longest = std::max(std::fabs(*a), std::fabs(*b));
        const int steps = std::clamp(static_cast<int>(longest / 2), 1, 4);
        sim::Windows::drag(*window, from, {from.x + *a, from.y + *b}, steps);
    } else if (args[0] == "resize") {
        if (*a <= 0 || *b <= 0) return "The size must be positive.";
        sim::Windows::resize(*window, {*a, *b});
    } else {
        return usage;
    }
    console.say("Status window at " + describeFrame(*window));
    return "";
}

std::string recorderCommand(sim::Console& console, const WeakDelegate& weak,
                            const ConsoleArguments& args) {
    const char* usage = "Usage: recorder focus|unfocus|clear";
    if (args.size() != 1) return usage;
    std::string error;
    auto window = openWindow(weak, "preferences", error);
    if (!window) return error;
    if (auto host = sim::Views::host(*window)) host->update();
    auto recorder = findRecorder(window->contentView());
    if (!recorder) return "The preferences window has no shortcut recorder.";
    if (args[0] == "focus") {
        window->makeKeyAndOrderFront(nullptr);
        if (!recorder->beginRecording()) return "The recorder refused to record.";
        console.say(
            "Recording: press a key with modifiers (key press <code> <modifiers>) or "
            "double-tap a modifier.");
        return "";
    }
    if (args[0] == "unfocus") {
        window->makeFirstResponder(nullptr);
        console.say("Clicked away from the recorder; it shows " +
                    recorder->accessibilityValue().value_or("nothing") + ".");
        return "";
    }
    if (args[0] == "clear") {
        if (recorder->clearButton()->isHidden()) return "The recorder shows no shortcut to clear.";
        recorder->clearButton()->performClick();
        console.say("Cleared the shortcut: Lumbrel has none now.");
        return "";
    }
    return usage;
}

}  // namespace

void addWindowCommands(sim::Console& console, const std::shared_ptr<AppDelegate>& delegate) {
    // Typed keys and modifier changes go to the key window, as the
    // application's event dispatch does.
    sim::Keyboard::setApplicationEventHandler([](const std::shared_ptr<NSEvent>& event) {
        if (auto window = NSApplication::sharedApplication()->keyWindow()) window->sendEvent(event);
    });

    WeakDelegate weak = delegate;
    auto* c = &console;
    console.addCommand(
        "window", std::string("window open|close|show|frame ") + windowNames,
        "open or close a window, print its view tree (show) or its frame",
        [c, weak](const ConsoleArguments& args) { return windowCommand(*c, weak, args); });
    console.addCommand("press", std::string("press ") + windowNames + " <label> [n]",
                       "press a button of a window by its label (the n-th of that label)",
                       [c, weak](const ConsoleArguments& args) {
                           return controlCommand(*c, weak, "press", args);
                       });
    console.addCommand("toggle", std::string("toggle ") + windowNames + " <label>",
                       "switch a check box of a window by its label",
                       [c, weak](const ConsoleArguments& args) {
                           return controlCommand(*c, weak, "toggle", args);
                       });
    console.addCommand(
        "pick", std::string("pick ") + windowNames + " <picker> <option>",
        "choose an option of a pop-up picker by their labels",
        [c, weak](const ConsoleArguments& args) { return controlCommand(*c, weak, "pick", args); });
    console.addCommand(
        "statuswindow", "statuswindow click|drag <dx> <dy>|resize <width> <height>",
        "click the status window, drag it by an offset, or resize it as a user",
        [c, weak](const ConsoleArguments& args) { return statusWindowCommand(*c, weak, args); });
    console.addCommand(
        "recorder", "recorder focus|unfocus|clear",
        "click into the preferences' shortcut recorder, click away, or clear it",
        [c, weak](const ConsoleArguments& args) { return recorderCommand(*c, weak, args); });
}
