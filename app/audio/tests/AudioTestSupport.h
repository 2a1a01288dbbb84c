#pragma once
// Shared fixture of the audio model tests: a fresh simulated hardware per
// test, captured logs, and helpers to observe notifications.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/audio/AudioDevice.h"
#include "app/audio/AudioNotifications.h"
#include "app/audio/AudioObjectPool.h"
#include "platform/audio/SimAudioHardware.h"
#include "platform/log/Log.h"
#include "platform/notifications/NSNotificationCenter.h"

namespace audiotest {

using sim::AudioDeviceConfig;
using SimHardware = sim::AudioHardware;

// Collects the notifications of one name (and sender) from the default
// centre, from whichever thread posts them.
class NotificationRecorder {
  public:
    explicit NotificationRecorder(std::optional<std::string> name,
                                  std::shared_ptr<void> sender = nullptr);
    ~NotificationRecorder();
    NotificationRecorder(const NotificationRecorder&) = delete;
    NotificationRecorder& operator=(const NotificationRecorder&) = delete;

    std::vector<NSNotification> notifications() const;
    std::size_t count() const;
    std::vector<std::string> threads() const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<NSNotification> notifications_;
    std::vector<std::string> threads_;
    std::shared_ptr<NSNotificationObserver> token_;
};

class AudioModelTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The logged debug lines with this text.
    std::size_t debugLines(const std::string& text) const;
    std::size_t defaultLines(const std::string& text) const;

    std::unique_ptr<sim::LogCapture> log_;
};

}  // namespace audiotest
