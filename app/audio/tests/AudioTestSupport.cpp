#include "app/audio/tests/AudioTestSupport.h"

#include "platform/dispatch/DispatchQueue.h"

namespace audiotest {

NotificationRecorder::NotificationRecorder(std::optional<std::string> name,
                                           std::shared_ptr<void> sender) {
    token_ = NSNotificationCenter::defaultCenter()->addObserverForName(
        std::move(name), std::move(sender), nullptr, [this](const NSNotification& notification) {
            std::lock_guard lock(mutex_);
            notifications_.push_back(notification);
            threads_.push_back(DispatchQueue::currentLabel());
        });
}

NotificationRecorder::~NotificationRecorder() {
    NSNotificationCenter::defaultCenter()->removeObserver(token_);
}

std::vector<NSNotification> NotificationRecorder::notifications() const {
    std::lock_guard lock(mutex_);
    return notifications_;
}

std::size_t NotificationRecorder::count() const {
    std::lock_guard lock(mutex_);
    return notifications_.size();
}

std::vector<std::string> NotificationRecorder::threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
}

void NotificationRecorder::clear() {
    std::lock_guard lock(mutex_);
    notifications_.clear();
    threads_.clear();
}

void AudioModelTest::SetUp() {
    sim::setLogEcho(false);
    SimHardware::reset();
    log_ = std::make_unique<sim::LogCapture>();
}

void AudioModelTest::TearDown() {
    SimHardware::flush();
    SimHardware::reset();
    log_.reset();
}

std::size_t AudioModelTest::debugLines(const std::string& text) const {
    std::size_t n = 0;
    for (const auto& record : log_->records())
        if (record.level == OSLogType::Debug && record.text == text) ++n;
    return n;
}

std::size_t AudioModelTest::defaultLines(const std::string& text) const {
    std::size_t n = 0;
    for (const auto& record : log_->records())
        if (record.level == OSLogType::Default && record.subsystem.empty() && record.text == text)
            ++n;
    return n;
}

}  // namespace audiotest
