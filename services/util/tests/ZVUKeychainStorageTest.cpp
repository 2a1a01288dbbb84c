#include "services/util/ZVUKeychainStorage.h"

#include <gtest/gtest.h>

#include "platform/dispatch/Dispatch.h"
#include "services/util/ZVUKeychainUtils.h"
#include "services/util/ZVUSecureCoding.h"
#include "services/util/tests/TempHome.h"

namespace {

class ZVUKeychainStorageTest : public ::testing::Test {
  protected:
    void TearDown() override { sim::Keychain::clearFailures(); }

    // Runs the promise to its end, pumping the main queue that its default
    // steps run on.
    static std::shared_ptr<PRMPromise> settle(std::shared_ptr<PRMPromise> p) {
        sim::MainLoop::runUntil([&] { return !p->isPending(); }, std::chrono::seconds(10));
        return p;
    }
    static PRMValue get(const std::shared_ptr<ZVUKeychainStorage>& s, const std::string& key,
                        std::optional<std::string> group = std::nullopt) {
        auto p = settle(s->getObjectForKey(key, "NSString", group));
        return p->isRejected() ? PRMValue(*p->error()) : p->value();
    }

    TempHome home_;
    std::shared_ptr<ZVUKeychainStorage> storage_ = ZVUKeychainStorage::initWithService("svc");
};

TEST_F(ZVUKeychainStorageTest, SetGetRemoveRoundTrip) {
    EXPECT_TRUE(get(storage_, "id").isNil());  // no item: nil, not an error
    EXPECT_TRUE(
        settle(storage_->setObject(Id("abc"), "id", std::nullopt))->value().isNullPlaceholder());
    storage_->resetInMemoryCache();
    EXPECT_EQ(get(storage_, "id"), PRMValue("abc"));  // from the keychain
    EXPECT_TRUE(settle(storage_->removeObjectForKey("id", std::nullopt))->isFulfilled());
    EXPECT_TRUE(get(storage_, "id").isNil());
    EXPECT_TRUE(settle(storage_->removeObjectForKey("id", std::nullopt))->isFulfilled());
}

TEST_F(ZVUKeychainStorageTest, CachedValuesSkipTheKeychainUntilEvicted) {
    settle(storage_->setObject(Id("v0"), "k0", std::nullopt));
    sim::Keychain::failNext(sim::Keychain::Operation::CopyMatching, errSecInteractionNotAllowed);
    EXPECT_EQ(get(storage_, "k0"), PRMValue("v0"));
    sim::Keychain::clearFailures();
    for (int i = 1; i <= 5; ++i) {
        settle(storage_->setObject(Id("v" + std::to_string(i)), "k" + std::to_string(i),
                                   std::nullopt));
    }
    // k0 was evicted by the sixth key, so this read reaches the keychain.
    sim::Keychain::failNext(sim::Keychain::Operation::CopyMatching, errSecInteractionNotAllowed);
    EXPECT_EQ(get(storage_, "k0"), PRMValue(ZVUKeychainUtils::keychainErrorWithFunction(
                                       "SecItemCopyMatching", errSecInteractionNotAllowed)));
}

TEST_F(ZVUKeychainStorageTest, FailedWriteIsNeverServedFromTheCache) {
    settle(storage_->setObject(Id("old"), "k", std::nullopt));
    sim::Keychain::failNext(sim::Keychain::Operation::Update, errSecInteractionNotAllowed);
    auto failed = settle(storage_->setObject(Id("new"), "k", std::nullopt));
    ASSERT_TRUE(failed->isRejected());
    EXPECT_EQ(failed->error()->userInfo[NSLocalizedFailureReasonErrorKey],
              Value("SecItemUpdate (-25308)"));
    EXPECT_EQ(failed->error()->domain, "com.zvu.keychain.ErrorDomain");
    EXPECT_EQ(get(storage_, "k"), PRMValue("old"));
}

TEST_F(ZVUKeychainStorageTest, AReadDuringAWriteThatFailsNeverSeesTheNewObject) {
    for (bool cached : {true, false}) {
        SCOPED_TRACE(cached ? "old object cached" : "old object only in the keychain");
        settle(storage_->setObject(Id("old"), "k", std::nullopt));
        if (!cached) storage_->resetInMemoryCache();
        sim::Keychain::holdNext(sim::Keychain::Operation::Update);
        sim::Keychain::failNext(sim::Keychain::Operation::Update, errSecInteractionNotAllowed);
        auto write = storage_->setObject(Id("new"), "k", std::nullopt);
        ASSERT_TRUE(sim::Keychain::waitUntilHeld());  // the write is under way
        auto read = storage_->getObjectForKey("k", "NSString", std::nullopt);
        sim::Keychain::release();
        EXPECT_TRUE(settle(write)->isRejected());
        EXPECT_EQ(settle(read)->value(), PRMValue("old"));
        EXPECT_EQ(get(storage_, "k"), PRMValue("old"));
    }
}

TEST_F(ZVUKeychainStorageTest, FailedRemoveLeavesNoCachedValue) {
    settle(storage_->setObject(Id("v"), "k", std::nullopt));
    sim::Keychain::failNext(sim::Keychain::Operation::Delete, errSecIO);
    EXPECT_TRUE(settle(storage_->removeObjectForKey("k", std::nullopt))->isRejected());
    sim::Keychain::failNext(sim::Keychain::Operation::CopyMatching, errSecIO);
    EXPECT_TRUE(get(storage_, "k").isError());  // not served from the cache
    EXPECT_EQ(get(storage_, "k"), PRMValue("v"));
}

TEST_F(ZVUKeychainStorageTest, AccessGroupsAndDecodingErrors) {
    settle(storage_->setObject(Id("grouped"), "k", std::string("group.a")));
    storage_->resetInMemoryCache();
    EXPECT_TRUE(get(storage_, "k", std::string("group.b")).isNil());
    EXPECT_EQ(get(storage_, "k", std::string("group.a")), PRMValue("grouped"));
    EXPECT_FALSE(storage_->keychainQueryWithKey("k", std::nullopt).contains(kSecAttrAccessGroup));

    storage_->resetInMemoryCache();
    auto wrongClass =
        settle(storage_->getObjectFromKeychainForKey("k", "NSDate", std::string("group.a")));
    EXPECT_TRUE(wrongClass->isRejected());
}

TEST_F(ZVUKeychainStorageTest, UtilsKeepAccessibilityOfExistingItems) {
    auto query = storage_->keychainQueryWithKey("k", std::nullopt);
    Dictionary attrs = query;
    attrs.set(kSecReturnAttributes, true);
    auto accessibility = [&] {
        Value out;
        EXPECT_EQ(SecItemCopyMatching(attrs, &out), errSecSuccess);
        return out[kSecAttrAccessible];
    };
    // An item made elsewhere with another accessibility keeps it when updated.
    Dictionary old = query;
    old.set(kSecAttrAccessible, kSecAttrAccessibleWhenUnlocked);
    old.set(kSecValueData, Data{1});
    ASSERT_EQ(SecItemAdd(old), errSecSuccess);
    ASSERT_TRUE(ZVUKeychainUtils::setItem(Data{2}, query));
    EXPECT_EQ(accessibility(), Value(kSecAttrAccessibleWhenUnlocked));
    EXPECT_EQ(ZVUKeychainUtils::getItemWithQuery(query), Data{2});
    // A new item gets the utilities' own accessibility.
    ASSERT_TRUE(ZVUKeychainUtils::removeItemWithQuery(query));
    ASSERT_TRUE(ZVUKeychainUtils::setItem(Data{3}, query));
    EXPECT_EQ(accessibility(), Value(kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly));

    std::optional<NSError> error;
    sim::Keychain::failNext(sim::Keychain::Operation::CopyMatching, errSecIO);
    EXPECT_FALSE(ZVUKeychainUtils::setItem(Data{4}, query, &error));
    EXPECT_EQ(error->userInfo[NSLocalizedFailureReasonErrorKey],
              Value("SecItemCopyMatching (-36)"));
}

}  // namespace
