#pragma once
// Shared fixture of the mute engine tests: a temporary home, fresh settings,
// a reset simulated hardware, empty remote values, recorded analytics,
// alerts, bezels and tasks, and a fake application delegate.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/audio/AudioDevice.h"
#include "app/mute/ClamshellObserver.h"
#include "app/mute/MuteEngineHost.h"
#include "app/mute/MuteManager.h"
#include "platform/audio/SimAudioHardware.h"
#include "platform/bundle/Home.h"
#include "platform/foundation/Object.h"
#include "platform/log/Log.h"
#include "services/analytics/APMAnalytics.h"

namespace mutetest {

using sim::AudioDeviceConfig;
using SimHardware = sim::AudioHardware;

// The application delegate as the engine sees it.
class FakeHost : public NSObject, public MuteEngineHost {
  public:
    bool hasInitializedApp() const override { return initialized; }
    std::shared_ptr<ClamshellObserver> clamshellObserver() const override { return clamshell; }
    std::shared_ptr<MuteManager> muteManager() const override { return engine; }
    void relaunchApplication() override { ++relaunches; }
    std::shared_ptr<NSImage> statusImage(StatusImageKind kind) const override;
    std::string appName() const override { return "Lumbrel"; }

    bool initialized = true;
    std::shared_ptr<ClamshellObserver> clamshell;
    std::shared_ptr<MuteManager> engine;
    int relaunches = 0;
};

class MuteEngineTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Makes these texts the activated remote values (replacing earlier ones).
    void setRemote(const std::map<std::string, std::string>& values);
    // Delivers every pending hardware callback and main-queue block, until
    // nothing more happens.
    void settle();
    // The engine, created with the host's closed-lid observer and held by the
    // host; settles afterwards.
    std::shared_ptr<MuteManager> makeEngine();

    static std::shared_ptr<AudioDevice> device(AudioObjectID id) { return AudioDevice::lookup(id); }
    static std::optional<bool> isMuted(AudioObjectID id) {
        return SimHardware::isMuted(id, kAudioObjectPropertyScopeInput, 0);
    }
    // Mute writes made on the input scope, per device.
    static std::size_t muteWrites(AudioObjectID id);
    static std::vector<AudioObjectID> ids(const MuteManager::Devices& devices);
    static std::vector<APMLoggedEvent> events(const std::string& name);
    static std::size_t observers(const std::string& name);
    // A bundle folder for this test, made the main bundle.
    std::filesystem::path makeBundle();

    std::filesystem::path home_;
    std::unique_ptr<sim::ScopedHomeOverride> homeOverride_;
    std::unique_ptr<sim::LogCapture> log_;
    std::shared_ptr<FakeHost> host_;
    std::shared_ptr<MuteManager> engine_;
};

}  // namespace mutetest
