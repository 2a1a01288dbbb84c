#pragma once
// The workspace: opening web pages, launching applications by name and the
// session notifications of fast user switching.
//
// Launching an application "Some Name" starts a real program only in a
// program started through NSApplicationMain (or when sim::Workspace says
// so); otherwise, as in tests, the launch is only recorded. The program is
// looked up in each folder of $LUMBREL_APPLICATIONS (colon-separated), then
// in the folder of the running program, then on $PATH: a bundle
// "Some Name.app" whose CFBundleExecutable lies in its Contents/MacOS or
// beside the bundle, else a program "some-name" (lower case, spaces as
// dashes; PATH is searched for that program only).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/notifications/NSNotificationCenter.h"

inline constexpr const char* NSWorkspaceSessionDidBecomeActiveNotification =
    "NSWorkspaceSessionDidBecomeActiveNotification";
inline constexpr const char* NSWorkspaceSessionDidResignActiveNotification =
    "NSWorkspaceSessionDidResignActiveNotification";

class NSWorkspace : public NSObject {
  public:
    static std::shared_ptr<NSWorkspace> sharedWorkspace();
    // Hands the address to the user's browser (recorded). False when it is
    // not an absolute URL.
    bool openURL(const std::string& url);
    // Whether the application was started.
    bool launchApplication(const std::string& appName);
    // The workspace's own centre (not the default one).
    std::shared_ptr<NSNotificationCenter> notificationCenter();
    std::string className() const override { return "NSWorkspace"; }

    NSWorkspace();

  private:
    std::shared_ptr<NSNotificationCenter> notificationCenter_;
};

namespace sim {

struct Workspace {
    static std::vector<std::string> openedURLs();
    // Applications launched successfully, by name, in order.
    static std::vector<std::string> launchedApplications();
    static void failNextLaunch();
    // Forgets what was recorded and every choice below.
    static void clear();

    // True: start real programs; false: record only. Overrides the choice
    // NSApplicationMain makes.
    static void setLaunchesPrograms(bool launches);
    static bool launchesPrograms();
    // Takes over launching (the answer is the launch's result); null
    // restores the default.
    static void setLauncher(std::function<bool(const std::string& appName)> launcher);
    // The program a real launch of the application would start, if any.
    static std::optional<std::string> programForApplication(const std::string& appName);

    // Fast user switching: another session takes over (resign) or this
    // session comes back (become active). Each posts on the workspace's
    // centre, with the workspace as object.
    static void resignSessionActive();
    static void becomeSessionActive();
    static bool isSessionActive();
};

}  // namespace sim
