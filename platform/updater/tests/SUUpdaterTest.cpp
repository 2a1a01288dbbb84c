#include "platform/updater/SUUpdater.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/bundle/Home.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/MainLoop.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> answers;

class UpdaterDelegate : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<UpdaterDelegate>("UpdaterTest.UpdaterDelegate")
                .method("updater:didFindValidUpdate:",
                        [](UpdaterDelegate&, const id& updater, const id& item) {
                            auto update = std::dynamic_pointer_cast<SUAppcastItem>(item);
                            answers.push_back(std::string(updater ? "found " : "orphan ") +
                                              (update ? update->versionString() : "?"));
                        })
                .method("updaterDidNotFindUpdate:",
                        [](UpdaterDelegate&, const id&) { answers.push_back("none"); })
                .conformsTo(objc_getProtocol("SUUpdaterDelegate"))
                .registerClass();
        return cls;
    }
    UpdaterDelegate() : RuntimeObject(runtimeClass()) {}
};

class SUUpdaterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        answers.clear();
        sim::Updater::reset();
        NSUserDefaults::resetForTesting();
    }
    void TearDown() override {
        sim::Updater::reset();
        sim::useRealClock();
        NSUserDefaults::resetForTesting();
        fs::remove_all(root);
    }

    fs::path root = fs::temp_directory_path() / ("updater-" + std::to_string(::getpid()));
    sim::ScopedHomeOverride home{root.string()};
};

}  // namespace

TEST_F(SUUpdaterTest, AManualCheckIsRecordedAndAnsweredLaterOnTheMainQueue) {
    auto updater = std::make_shared<SUUpdater>();
    auto delegate = std::make_shared<UpdaterDelegate>();
    objc_msgSend(updater, "setDelegate:", delegate);
    auto sender = std::make_shared<RuntimeObject>();

    sim::Updater::offerUpdate("2.0.1");
    objc_msgSend(updater, "checkForUpdates:", sender);
    EXPECT_TRUE(answers.empty());
    sim::MainLoop::runUntilIdle();
    sim::Updater::offerNoUpdate();
    updater->checkForUpdates(nullptr);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(answers, (std::vector<std::string>{"found 2.0.1", "none"}));

    auto checks = sim::Updater::checks();
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_TRUE(checks[0].userInitiated);
    EXPECT_EQ(checks[0].senderClass, "NSObject");
    EXPECT_EQ(checks[0].foundVersion, "2.0.1");
    EXPECT_EQ(checks[1].senderClass, "");
    EXPECT_FALSE(checks[1].foundVersion);

    // The updater does not keep its delegate, and a gone updater answers
    // nobody.
    std::weak_ptr<UpdaterDelegate> weak = delegate;
    delegate.reset();
    EXPECT_TRUE(weak.expired());
    updater->setDelegate(std::make_shared<UpdaterDelegate>());
    updater->checkForUpdates(nullptr);
    updater.reset();
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(answers.size(), 2u);
}

TEST_F(SUUpdaterTest, AutomaticChecksFollowTheUserDefault) {
    sim::useVirtualClock();
    auto defaults = NSUserDefaults::standardUserDefaults();
    auto updater = std::make_shared<SUUpdater>();
    const SUUpdater* identity = updater.get();
    EXPECT_FALSE(updater->automaticallyChecksForUpdates());
    EXPECT_EQ(updater->updateCheckInterval(), 86400);
    auto day = sim::seconds(updater->updateCheckInterval());

    sim::advanceAndRun(day);
    EXPECT_TRUE(sim::Updater::checks(identity).empty());

    objc_msgSend(updater, "setAutomaticallyChecksForUpdates:", true);
    EXPECT_TRUE(defaults->boolForKey("SUEnableAutomaticChecks"));
    sim::advanceAndRun(day * 2);
    ASSERT_EQ(sim::Updater::checks(identity).size(), 2u);
    EXPECT_FALSE(sim::Updater::checks(identity)[0].userInitiated);

    // Preferences write the default directly.
    defaults->setBool(false, "SUEnableAutomaticChecks");
    EXPECT_FALSE(objc_msgSend<bool>(updater, "automaticallyChecksForUpdates"));
    sim::advanceAndRun(day);
    EXPECT_EQ(sim::Updater::checks(identity).size(), 2u);

    // An updater that is gone checks no more.
    defaults->setBool(true, "SUEnableAutomaticChecks");
    updater.reset();
    sim::advanceAndRun(day);
    EXPECT_EQ(sim::Updater::checks(identity).size(), 2u);
}

TEST_F(SUUpdaterTest, IsARuntimeClassWithOneSharedUpdater) {
    Class cls = NSClassFromString("SUUpdater");
    ASSERT_NE(cls, nullptr);
    EXPECT_EQ(objc_msgSend<id>(cls, "sharedUpdater"), SUUpdater::sharedUpdater());
    EXPECT_NE(std::make_shared<SUUpdater>(), SUUpdater::sharedUpdater());
    EXPECT_NE(objc_getProtocol("SUUpdaterDelegate"), nullptr);
}
