#pragma once
// A launched application shell on a fresh simulated Mac, per test: its own
// home folder, the program's bundle, virtual time, and every stand-in the
// shell touches reset.

#include <gtest/gtest.h>
#include "app/ui/tests/UiTestSupport.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/ui/AppDelegate.h"
#include "platform/audio/SimAudioHardware.h"
#include "platform/backend/Backend.h"
#include "platform/bundle/Home.h"
#include "platform/log/Log.h"

namespace shelltest {

class ShellTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Sets up a delegate on the shared application and finishes launching.
    AppDelegate& launch();
    // Delivers the hardware's callbacks and runs the main queue until idle.
    static void settle();

    // The input mute of a device ("muted", "live").
    static std::string muteOf(AudioObjectID device);
    // Every microphone of the default Mac in the given state.
    bool allInputs(const std::string& state) const;
    static bool devicesMuted();

    // Analytics events of that name, and the string value of one parameter
    // of the last of them.
    static std::size_t eventCount(const std::string& name);
    static std::optional<std::string> lastEventParameter(const std::string& name,
                                                         const std::string& parameter);

    // Removes every input device.
    void unplugAllInputs();
    // The hosted services the launched shell talks to.
    sim::Backend& backend() { return *backend_; }

    sim::SimulatedMac mac_;
    std::shared_ptr<AppDelegate> delegate_;
    std::unique_ptr<sim::LogCapture> log_;

  private:
    std::unique_ptr<uitest::TemporaryHome> home_;
    // The hosted services the launched shell talks to.
    std::unique_ptr<sim::Backend> backend_;
};

}  // namespace shelltest
