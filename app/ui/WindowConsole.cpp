#include "app/ui/WindowConsole.h"

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

std::string windowCommand(const WeakDelegate& weak, const ConsoleArguments& args) {
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
        if (name == "status" && delegate->windows().isStatusWindowOpen()) return "";
        objc_msgSend<void>(delegate.get(), action->second, id(delegate));
        return "";
    }
    std::string error;
    auto window = openWindow(weak, name, error);
    if (!window) return error;
    if (what == "close") {
        if (!sim::Windows::clickCloseButton(*window))
            return "The " + name + " window has no close button.";
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

std::string controlCommand(const WeakDelegate& weak, const std::string& kind,
                           const ConsoleArguments& args) {
    const bool pick = kind == "pick";
    if (args.size() != (pick ? 3u : 2u))
        return "Usage: " + kind + " " + windowNames + (pick ? " <picker> <option>" : " <label>");
    std::string error;
    auto window = openWindow(weak, args[0], error);
    if (!window) return error;
    bool done = kind == "press"    ? sim::Views::click(*window, args[1])
                : kind == "toggle" ? sim::Views::toggle(*window, args[1])
                                   : sim::Views::pick(*window, args[1], args[2]);
    if (done) return "";
    if (pick) return "No enabled picker \"" + args[1] + "\" with the option \"" + args[2] + "\".";
    return "No enabled " + std::string(kind == "press" ? "button" : "toggle") + " \"" + args[1] +
           "\".";
}

std::string statusWindowCommand(const WeakDelegate& weak, const ConsoleArguments& args) {
    const char* usage = "Usage: statuswindow click|drag <dx> <dy>|resize <width> <height>";
    if (args.empty()) return usage;
    std::string error;
    auto window = openWindow(weak, "status", error);
    if (!window) return error;
    if (args[0] == "click" && args.size() == 1) {
        sim::Windows::click(*window, centre(*window));
        return "";
    }
    if (args.size() != 3) return usage;
    auto a = number(args[1]);
    auto b = number(args[2]);
    if (!a || !b) return usage;
    if (args[0] == "drag") {
        NSPoint from = centre(*window);
        sim::Windows::drag(*window, from, {from.x + *a, from.y + *b});
    } else if (args[0] == "resize") {
        if (*a <= 0 || *b <= 0) return "The size must be positive.";
        sim::Windows::resize(*window, {*a, *b});
    } else {
        return usage;
    }
    std::cout << "Status window at " << describeFrame(*window) << "\n";
    return "";
}

std::string recorderCommand(const WeakDelegate& weak, const ConsoleArguments& args) {
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
        std::cout << "Recording: press a key with modifiers (key press <code> <modifiers>) or "
                     "double-tap a modifier.\n";
        return "";
    }
    if (args[0] == "unfocus") {
        window->makeFirstResponder(nullptr);
        return "";
    }
    if (args[0] == "clear") {
        if (recorder->clearButton()->isHidden()) return "The recorder shows no shortcut to clear.";
        recorder->clearButton()->performClick();
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
    console.addCommand("window", std::string("window open|close|show|frame ") + windowNames,
                       "open or close a window, print its view tree (show) or its frame",
                       [weak](const ConsoleArguments& args) { return windowCommand(weak, args); });
    console.addCommand(
        "press", std::string("press ") + windowNames + " <label>",
        "press a button of a window by its label",
        [weak](const ConsoleArguments& args) { return controlCommand(weak, "press", args); });
    console.addCommand(
        "toggle", std::string("toggle ") + windowNames + " <label>",
        "switch a check box of a window by its label",
        [weak](const ConsoleArguments& args) { return controlCommand(weak, "toggle", args); });
    console.addCommand(
        "pick", std::string("pick ") + windowNames + " <picker> <option>",
        "choose an option of a pop-up picker by their labels",
        [weak](const ConsoleArguments& args) { return controlCommand(weak, "pick", args); });
    console.addCommand(
        "statuswindow", "statuswindow click|drag <dx> <dy>|resize <width> <height>",
        "click the status window, drag it by an offset, or resize it as a user",
        [weak](const ConsoleArguments& args) { return statusWindowCommand(weak, args); });
    console.addCommand(
        "recorder", "recorder focus|unfocus|clear",
        "click into the preferences' shortcut recorder, click away, or clear it",
        [weak](const ConsoleArguments& args) { return recorderCommand(weak, args); });
}
