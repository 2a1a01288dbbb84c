#include "services/util/ZVUHeartbeatDateStorage.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/foundation/FileSystem.h"
#include "services/util/tests/TempHome.h"

namespace {

class ZVUHeartbeatDateStorageTest : public ::testing::Test {
  protected:
    void TearDown() override { sim::FileSystem::clearFailures(); }
    TempHome home_;
};

TEST_F(ZVUHeartbeatDateStorageTest, FileStoresKeepSeparateMaps) {
    EXPECT_EQ(ZVUHeartbeatDateStorage::initWithFileName(std::nullopt), nullptr);
    auto a = ZVUHeartbeatDateStorage::initWithFileName(std::string("HEARTBEAT_INFO_STORAGE"));
    auto b = ZVUHeartbeatDateStorage::initWithFileName(std::string("OTHER"));
    EXPECT_EQ(a->fileURL(),
              home_.path() / "Library/Application Support/Zevera/VUVEzu/HEARTBEAT_INFO_STORAGE");
    ASSERT_TRUE(a->setHearbeatDate(Date{100}, "GLOBAL"));
    EXPECT_EQ(a->heartbeatDateForTag("GLOBAL"), Date{100});
    EXPECT_EQ(a->heartbeatDateForTag("OTHER"), std::nullopt);
    EXPECT_EQ(b->heartbeatDateForTag("GLOBAL"), std::nullopt);
    // A new object reads what the first one wrote.
    auto again = ZVUHeartbeatDateStorage::initWithFileName(std::string("HEARTBEAT_INFO_STORAGE"));
    EXPECT_EQ(again->heartbeatDateForTag("GLOBAL"), Date{100});
    ASSERT_TRUE(a->setHearbeatDate(std::nullopt, "GLOBAL"));
    EXPECT_EQ(again->heartbeatDateForTag("GLOBAL"), std::nullopt);
}

TEST_F(ZVUHeartbeatDateStorageTest, BadFilesReadEmptyAndFailedWritesReport) {
    auto store = ZVUHeartbeatDateStorage::initWithFileName(std::string("F"));
    std::string junk = "junk";
    ASSERT_TRUE(
        sim::FileSystem::writeFileAtomically(store->fileURL(), Data(junk.begin(), junk.end())));
    EXPECT_EQ(store->heartbeatDateForTag("GLOBAL"), std::nullopt);
    sim::FileSystem::failNextWrite(ENOSPC);
    EXPECT_FALSE(store->setHearbeatDate(Date{1}, "GLOBAL"));
    EXPECT_TRUE(store->setHearbeatDate(Date{2}, "GLOBAL"));
    EXPECT_EQ(store->heartbeatDateForTag("GLOBAL"), Date{2});
}

TEST_F(ZVUHeartbeatDateStorageTest, UserDefaultsStoreKeepsOneDictionary) {
    auto defaults = NSUserDefaults::initWithSuiteName("com.example.heartbeat");
    ZVUHeartbeatDateStorageUserDefaults store(defaults, "beats");
    EXPECT_TRUE(store.setHearbeatDate(Date{3}, "a"));
    EXPECT_TRUE(store.setHearbeatDate(Date{4}, "b"));
    EXPECT_EQ(store.heartbeatDateForTag("a"), Date{3});
    EXPECT_EQ(defaults->dictionaryForKey("beats")->size(), 2u);
    defaults->removeObjectForKey("beats");
}

}  // namespace
