#include "services/core/tests/RZRInstallationsTestSupport.h"

#include <unistd.h>

#include "platform/dispatch/Activity.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/keychain/SecItem.h"
#include "platform/net/NSURLSession.h"
#include "services/util/ZVUKeychainStorage.h"

std::shared_ptr<RZRInstallationsBackoffController> makeVirtualBackoff() {
    return std::make_shared<RZRInstallationsBackoffController>(
        [] { return sim::toSeconds(sim::Clock::now().time_since_epoch()); });
}

void InstallationsTest::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    home_ = std::filesystem::temp_directory_path() /
            ("installations-test-" + std::to_string(::getpid()) + "-" + info->test_suite_name() +
             "-" + info->name());
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    homeOverride_ = std::make_unique<sim::ScopedHomeOverride>(home_.string());
    sim::Keychain::clearFailures();
    sim::useVirtualClock();
    backend_ = std::make_unique<sim::Backend>();
    service_ = &backend_->installations();
    sim::setServiceHostOverride(backend_->url());
}

void InstallationsTest::TearDown() {
    settle();
    sim::clearServiceHostOverride();
    backend_.reset();
    sim::Keychain::clearFailures();
    sim::useRealClock();
    homeOverride_.reset();
    std::error_code ec;
    std::filesystem::remove_all(home_, ec);
}

PRMValue InstallationsTest::await(const std::shared_ptr<PRMPromise>& promise,
                                  std::optional<NSError>* error) {
    EXPECT_TRUE(
        sim::MainLoop::runUntil([&] { return !promise->isPending(); }, std::chrono::seconds(30)));
    if (error) *error = promise->error();
    return promise->value();
}

PRMValue InstallationsTest::awaitAdvancing(const std::shared_ptr<PRMPromise>& promise,
                                           std::optional<NSError>* error) {
    // The clock moves only while nothing is at work or in flight, so a retry's
    // wait is measured on the virtual clock alone, however slow the machine.
    const auto quiet = [] {
        return sim::MainLoop::pendingCount() == 0 && sim::busyDispatchBlocks() == 0 &&
               sim::activeTransferCount() == 0;
    };
    for (int i = 0; i < 2000 && promise->isPending(); ++i) {
        sim::MainLoop::runUntil([&] { return !promise->isPending() || quiet(); },
                                std::chrono::seconds(30));
        if (promise->isPending()) sim::advanceAndRun(sim::seconds(0.25));
    }
    return await(promise, error);
}

void InstallationsTest::settle() {
    PRMWaitForAllPromises(30);
    sim::MainLoop::runUntilIdle();
}

std::shared_ptr<RZRInstallationsIDController> InstallationsTest::makeController(
    const std::string& appName,
    std::shared_ptr<RZRInstallationsBackoffControllerProtocol> backoff) {
    auto storage = ZVUKeychainStorage::initWithService(
        RZRInstallationsIDController::keychainServiceWithAppID(kTestAppID));
    return RZRInstallationsIDController::initWithZeveraAppID(
        kTestAppID, appName, RZRInstallationsStore::initWithSecureStorage(storage, std::nullopt),
        RZRInstallationsAPIService::initWithAPIKey(kTestAPIKey, kTestProject),
        RZRInstallationsIIDStore::init(),
        RZRInstallationsIIDTokenStore::initWithZCMSenderID("12345"),
        backoff ? backoff : makeVirtualBackoff());
}

std::shared_ptr<RZRInstallationsItem> InstallationsTest::storedItem(const std::string& appName) {
    auto storage = ZVUKeychainStorage::initWithService(
        RZRInstallationsIDController::keychainServiceWithAppID(kTestAppID));
    auto store = RZRInstallationsStore::initWithSecureStorage(storage, std::nullopt);
    return await(store->installationForAppID(kTestAppID, appName)).as<RZRInstallationsItem>();
}
