#include "app/ui/AppDelegate.h"

#include "platform/net/NSURL.h"

#include <unistd.h>

#include <any>
#include <climits>
#include <filesystem>

#include "app/hotkeys/HotKey.h"
#include "app/hotkeys/HotKeyCenter.h"
#include "app/mute/ClamshellObserver.h"
#include "app/mute/MuteBezel.h"
#include "app/mute/MuteEventSource.h"
#include "app/mute/MuteManager.h"
#include "app/mute/StoredShortcut.h"
#include "app/settings/AppSettings.h"
#include "app/ui/AppWindows.h"
#include "app/ui/FloatingWindows.h"
#include "app/ui/SettingsReactions.h"
#include "app/ui/SettingsReport.h"
#include "app/ui/StatusItemController.h"
#include "app/ui/UpdaterDelegate.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSImage.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/bundle/NSBundle.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/log/Log.h"
#include "platform/process/NSTask.h"
#include "platform/updater/SUUpdater.h"
#include "services/analytics/ZAROduzozova.h"
#include "services/analytics/ZAROduzozovaConnector.h"
#include "services/core/VUVEzu.h"
#include "services/crash/RZRCrashtrace.h"
#include "services/experiments/APMEMeasurementExperiments.h"
#include "services/remoteconfig/DIROdadevOvered.h"
#include "services/remoteconfig/DIROdadevOveredComponent.h"

namespace {

using K = Defaults::Keys;

constexpr UInt32 kHotKeyPressed = 5;
constexpr UInt32 kHotKeyReleased = 6;

// This program again, with the arguments it was started with, in place of
// this process: a program started from a terminal keeps it (a new process
// would lose it to the shell once this one ended). Returns only when that
// failed, or when tests intercept it.
bool startThisProgramAgain() {
    char buffer[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return false;
    auto arguments = NSProcessInfo::processInfo()->arguments();
    if (!arguments.empty()) arguments.erase(arguments.begin());
    return ProcessReplace(std::string(buffer, static_cast<std::size_t>(length)), arguments);
}

// The notification a "switchHandler:" message carries, by value or by
// pointer; null for none (nil included).
const NSNotification* carriedNotification(const std::any& argument) {
    if (const auto* notification = std::any_cast<NSNotification>(&argument)) return notification;
    if (const auto* pointer = std::any_cast<const NSNotification*>(&argument)) return *pointer;
    return nullptr;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

Class AppDelegate::runtimeClass() {
    static Class cls =
        ClassBuilder<AppDelegate>("Lumbrel.AppDelegate")
            .method("applicationDidFinishLaunching:", &AppDelegate::applicationDidFinishLaunching)
            .method("applicationWillTerminate:", &AppDelegate::applicationWillTerminate)
            .method("quitWithSender:", &AppDelegate::quit)
            .method("toggleMuteFromMenuWithSender:", &AppDelegate::toggleMuteFromMenu)
            .method("switchHandler:",
                    [](AppDelegate& self, const std::any& notification) {
                        self.sessionDidChange(carriedNotification(notification));
                    })
            .method("statusBarButtonClicked", &AppDelegate::statusBarButtonClicked)
            .method("checkForUpdatesWithSender:", &AppDelegate::checkForUpdates)
            .method("openHelpWithSender:", &AppDelegate::openHelp)
            .method("toggleMicStatusWindowWithSender:", &AppDelegate::toggleMicStatusWindow)
            .method("openPreferencesWindowWithSender:", &AppDelegate::openPreferencesWindow)
            .method("openAboutWindowWithSender:", &AppDelegate::openAboutWindow)
            .method("openOnboardingWindowWithSender:", &AppDelegate::openOnboardingWindow)
            .conformsTo(objc_getProtocol("NSApplicationDelegate"))
            .registerClass();
    return cls;
}

AppDelegate::AppDelegate()
    : RuntimeObject(runtimeClass()),
      statusItemController_(std::make_unique<StatusItemController>(sharedAppName())),
      windows_(std::make_unique<AppWindows>(AppWindowActions{
          [this](bool muted) { setMuted(muted); }, [this] { refreshStatusMenu(); }})),
      floatingWindows_(std::make_unique<FloatingWindows>()) {}

AppDelegate::~AppDelegate() {
    if (observingSessions_)
        NSWorkspace::sharedWorkspace()->notificationCenter()->removeObserver(this);
    if (hotKeyListener_) HotKeyCenter::shared()->unregister(hotKeyListener_);
    hotKeyListener_.reset();
    softwareUpdater_.reset();
    clamshellObserver_.reset();
    muteManager_.reset();
}

std::shared_ptr<AppDelegate> AppDelegate::self() {
    return std::static_pointer_cast<AppDelegate>(shared_from_this());
}

// ---- Start-up and shutdown -----------------------------------------------------

void AppDelegate::applicationDidFinishLaunching(const id&) {
    NSUserDefaults::standardUserDefaults()->registerDefaults(
        {{"NSApplicationCrashOnExceptions", Value(true)}});
    registerApplicationDefaults();
    // The services come before the mute engine: it reports the devices it
    // meets as it starts and reads remote values, which need the services
    // configured and their defaults loaded.
    configureServices();
    clamshellObserver_ = std::make_shared<ClamshellObserver>();
    muteManager_ = MuteManager::create(clamshellObserver_);

    auto center = NSWorkspace::sharedWorkspace()->notificationCenter();
    std::weak_ptr<AppDelegate> weak = self();
    for (const char* name : {NSWorkspaceSessionDidBecomeActiveNotification,
                             NSWorkspaceSessionDidResignActiveNotification}) {
        center->addObserver(
            this,
            [weak](const NSNotification& notification) {
                if (auto delegate = weak.lock()) delegate->sessionDidChange(&notification);
            },
            std::string(name), nullptr);
    }
    observingSessions_ = true;
    initializeApp();
}

void AppDelegate::configureServices() {
    // The measurement engine's configuration registers with the experiments
    // client when the engine is made.
    APMEMeasurementExperiments::install();
    // The user's choice on sharing data holds before the first request: the
    // crash reporter and analytics read it as they start. (The settings
    // observations apply it again, and every change, from initializeApp on.)
    SettingsReactions::collectDataChanged(Defaults::get(K::collectData()));
    try {
        DIROdadevOveredComponent::registerLibrary();
        ZAROduzozovaConnector::registerLibrary();
        RZRCrashtrace::registerLibrary();
        VUVEzu::configure();
    } catch (const NSException& exception) {
        // Without its configuration the backend stays off; the application
        // itself works without it.
        NSLog(std::string("Could not configure the backend services: ") + exception.what());
    }
    auto remoteConfig = DIROdadevOvered::remoteConfig();
    remoteConfig->setDefaultsFromPlistFileName("RemoteConfigDefaults");
    std::weak_ptr<AppDelegate> weak = self();
    remoteConfig->fetchAndActivateWithCompletionHandler(
        [weak](DIROdadevOveredFetchAndActivateStatus, std::optional<NSError> error) {
            if (auto delegate = weak.lock()) delegate->remoteConfigFetched(error);
        });
}

void AppDelegate::initializeApp() {
    if (hasInitializedApp_) return;
    registerHotKey();
    setUpStatusItem();

    const auto pushToTalk = Defaults::get(K::pushToTalk());
    const bool wanted = pushToTalk == 1   ? true
                        : pushToTalk == 2 ? false
                                          : Defaults::get(K::devicesMuted());
    if (!hasInputDevices()) {
        // The intention is kept for the microphones that come later: the
        // engine gives a newly connected device the stored state.
        Defaults::set(K::devicesMuted(), wanted);
        setMuted(wanted);
        showCannotMuteBezel();
        updateStatusImage();
        refreshStatusMenu();
    } else {
        setMuted(wanted);
    }

    if (Defaults::get(K::showStatusWindow())) toggleMicStatusWindow(self());
    if (!Defaults::get(K::hasCompletedOnboarding())) openOnboardingWindow(self());
    if (Defaults::get(K::hasCompletedOnboarding())) {
        softwareUpdater_ = std::make_shared<SUUpdater>();
        softwareUpdater_->setDelegate(UpdaterDelegate::shared());
    }
    observeSettings();
    windows_->startObservingScreenChanges();
    hasInitializedApp_ = true;
}

void AppDelegate::remoteConfigFetched(const std::optional<NSError>& error) {
    if (error) {
        os_log(OSLog::defaultLog(), "Error fetching Reruzera Remote Config values.");
        ZAROduzozova::logEventWithName("remote_config_error",
                                       Dictionary{{"error_code", Value(error->code)}});
    }
    closeAuxiliaryWindows();
    refreshStatusMenu();
    if (clamshellObserver_) clamshellObserver_->startObserving();
    if (muteManager_) muteManager_->applyBluetoothWorkaround(MuteManager::useBluetoothWorkaround());
}

void AppDelegate::applicationWillTerminate(const id&) {
    if (muteManager_ && muteManager_->cleanUp() != 0)
        NSLog("Problem cleaning up Lumbrel audio MuteManager.");
}

void AppDelegate::quit(const id&) {
    if (muteManager_ && muteManager_->cleanUp() != 0) {
        NSLog("Problem cleaning up Lumbrel audio MuteManager.");
        // Staying open, the application guards the microphones again: left
        // unguarded, a device that failed to unmute and any plugged in later
        // would be live under a "muted" status item.
        muteManager_->reactivate();
        return;
    }
    NSApplication::sharedApplication()->terminate(self());
}

void AppDelegate::closeAuxiliaryWindows() {
    windows_->closeAuxiliaryWindows();
}

void AppDelegate::keepWindowsFloating() {
    floatingWindows_->keepFloating();
}

std::optional<std::string> AppDelegate::bundleURL() {
    auto resources = NSBundle::mainBundle()->resourcePath();
    if (!resources) return std::nullopt;
    auto bundle = std::filesystem::absolute(*resources).lexically_normal();
    if (!bundle.has_filename()) bundle = bundle.parent_path();
    bundle = bundle.parent_path().parent_path();
    auto text = bundle.string();
    if (text.empty() || text.back() != '/') text += '/';
    return NSURL::fileURLWithPath(text).absoluteString();
}

void AppDelegate::relaunchApplication() {
    auto url = bundleURL();
    if (!url) return;
    auto task = std::make_shared<NSTask>();
    task->setLaunchPath("/usr/bin/open");
    task->setArguments({*url});
    if (!task->launch() && !startThisProgramAgain()) return;
    ProcessExit(0);
}

std::shared_ptr<NSImage> AppDelegate::statusImage(StatusImageKind kind) const {
    std::string name;
    switch (kind) {
        case StatusImageKind::bezel:
            name = Defaults::get(Defaults::Keys::devicesMuted()) ? "notification-off"
                                                                 : "notification-on";
            break;
    }
    auto image = NSImage::imageNamed(name);
    if (image) image->setTemplate(Defaults::get(Defaults::Keys::menubarIcon()) != 1);
    return image;
}

const std::string& AppDelegate::sharedAppName() {
    static const std::string name =
        NSBundle::mainBundle()->localizedStringForKey("AppName", "App Name", "");
    return name;
}

// ---- Shortcut and mute ---------------------------------------------------------

void AppDelegate::registerHotKey() {
    if (hotKeyListener_) HotKeyCenter::shared()->unregister(hotKeyListener_);
    if (!Defaults::get(K::keyEnabled())) return;
    auto combo = storedKeyCombo();
    if (!combo) return;
    std::weak_ptr<AppDelegate> weak = self();
    hotKeyListener_ = HotKey::init("toggleMuteHotKey", combo, ActionQueue::main,
                                   [weak](const std::shared_ptr<HotKey>&, UInt32 eventKind) {
                                       if (auto delegate = weak.lock())
                                           delegate->handleHotKeyEvent(eventKind);
                                   });
    if (hotKeyListener_) hotKeyListener_->register_();
}

void AppDelegate::handleHotKeyEvent(UInt32 eventKind) {
    if (eventKind == kHotKeyPressed)
        hotKeyDown();
    else if (eventKind == kHotKeyReleased)
        hotKeyUp();
}

void AppDelegate::hotKeyDown() {
    const auto pushToTalk = Defaults::get(K::pushToTalk());
    const bool doubled = Defaults::get(K::keyDoubleModifiers());
    bool muted;
    MuteEventSource source;
    if (doubled || pushToTalk == 0 || pushToTalk > 2 || pushToTalk < 0) {
        muted = !Defaults::get(K::devicesMuted());
        source = MuteEventSource::keyboardShortcut;
    } else if (pushToTalk == 1) {
        muted = false;
        source = MuteEventSource::pushToTalk;
    } else {
        muted = true;
        source = MuteEventSource::pushToMute;
    }
    setMuted(muted);
    logMicMute(source);
    if (hasInputDevices()) showMuteToggleBezel();
}

void AppDelegate::hotKeyUp() {
    const auto pushToTalk = Defaults::get(K::pushToTalk());
    if (pushToTalk == 2)
        setMuted(false);
    else if (pushToTalk == 1)
        setMuted(true);
    else
        return;
    if (hasInputDevices()) showMuteToggleBezel();
}

bool AppDelegate::hasInputDevices() const {
    if (!muteManager_) return false;
    const bool lidClosed = clamshellObserver_ && clamshellObserver_->isInClamshellMode();
    return !muteManager_->compatibleInputDevices(BluetoothDevicesMode::exclude, lidClosed).empty();
}

void AppDelegate::setMuted(bool muted) {
    if (!hasInputDevices()) {
        os_log(OSLog::defaultLog(), "No compatible input devices found.");
        showCannotMuteBezel();
        if (muted) return;
    }
    Defaults::set(K::devicesMuted(), muted);
    if (muteManager_) {
        auto devices = muteManager_->compatibleInputDevices(BluetoothDevicesMode::exclude, false);
        MuteManager::setMute(Defaults::get(K::devicesMuted()), devices);
    }
    updateStatusImage();
    refreshStatusMenu();
}

void AppDelegate::toggleMuteFromMenu(const id&) {
    logMicMute(MuteEventSource::menuBarDropdownItem);
    setMuted(!Defaults::get(K::devicesMuted()));
}

std::string AppDelegate::shortcutDescription() const {
    std::string text = Defaults::get(K::keyModifiersString());
    const bool doubled = Defaults::get(K::keyDoubleModifiers());
    const std::string joint = doubled ? "" : " + ";
    if (!doubled) text += Defaults::get(K::keyCodeString());
    replaceAll(text, "⌃", "Control" + joint);
    replaceAll(text, "⌥", "Option" + joint);
    replaceAll(text, "⌘", "Command" + joint);
    replaceAll(text, "⇧", "Shift" + joint);
    return text;
}

void AppDelegate::sessionDidChange(const NSNotification* notification) {
    if (!muteManager_) return;
    if (notification && notification->name == NSWorkspaceSessionDidResignActiveNotification) {
        muteManager_->deactivate();
        return;
    }
    muteManager_->reactivate();
    registerHotKey();
}

// ---- Status item -----------------------------------------------------------------

void AppDelegate::setUpStatusItem() {
    statusItemController_->setUp(self(), "statusBarButtonClicked");
}

void AppDelegate::refreshStatusMenu() {
    statusItemController_->refreshMenu();
}

void AppDelegate::statusBarButtonClicked() {
    performClickAction(StatusItemController::clickActionForCurrentEvent());
}

void AppDelegate::performClickAction(std::int64_t action) {
    if (action == 2) {
        objc_msgSend<void>(this, "toggleMicStatusWindowWithSender:", id(self()));
    } else if (action == 1) {
        logMicMute(MuteEventSource::menuBarItem);
        setMuted(!Defaults::get(K::devicesMuted()));
    } else {
        showStatusMenu();
    }
}

void AppDelegate::showStatusMenu() {
    statusItemController_->showMenu();
}

void AppDelegate::updateStatusImage() {
    statusItemController_->updateImage();
}

// ---- Settings reactions, updates and help ---------------------------------------

void AppDelegate::observeSettings() {
    for (const auto& observation : SettingsReactions::observe(self()))
        observation->tieToLifetime(self());
}

void AppDelegate::checkForUpdates(const id& sender) {
    ZAROduzozova::logEventWithName("manually_checked_for_updates", std::nullopt);
    if (!softwareUpdater_) {
        softwareUpdater_ = std::make_shared<SUUpdater>();
        softwareUpdater_->setDelegate(UpdaterDelegate::shared());
    }
    softwareUpdater_->checkForUpdates(sender);
}

const char* AppDelegate::helpURL() {
    return "https://lumbrel.vantorel.com/help/?source=macApp";
}

void AppDelegate::openHelp(const id&) {
    NSWorkspace::sharedWorkspace()->openURL(helpURL());
}

// ---- Windows -----------------------------------------------------------------------

void AppDelegate::toggleMicStatusWindow(const id&) {
    windows_->toggleMicStatusWindow();
    refreshStatusMenu();
}

void AppDelegate::openPreferencesWindow(const id&) {
    windows_->openPreferencesWindow();
}

void AppDelegate::openAboutWindow(const id&) {
    windows_->openAboutWindow();
}

void AppDelegate::openOnboardingWindow(const id&) {
    std::weak_ptr<AppDelegate> weak = self();
    windows_->openOnboardingWindow([weak] {
        if (auto delegate = weak.lock()) delegate->finishOnboarding();
    });
}

void AppDelegate::finishOnboarding() {
    refreshStatusMenu();
    if (!softwareUpdater_) softwareUpdater_ = std::make_shared<SUUpdater>();
}
