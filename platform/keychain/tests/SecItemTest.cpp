#include "platform/keychain/SecItem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "platform/bundle/Home.h"
#include "platform/foundation/FileSystem.h"

namespace {

class SecItemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("keychain-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        home_ = std::make_unique<sim::ScopedHomeOverride>(dir_.string());
    }
    void TearDown() override {
        sim::Keychain::clearFailures();
        home_.reset();
        std::filesystem::remove_all(dir_);
    }
    static Dictionary query(const std::string& account, const char* group = nullptr) {
        Dictionary q{{kSecClass, kSecClassGenericPassword},
                     {kSecAttrService, "svc"},
                     {kSecAttrAccount, account}};
        if (group) q.set(kSecAttrAccessGroup, group);
        return q;
    }
    static Dictionary withData(Dictionary q, std::string text) {
        q.set(kSecValueData, Data(text.begin(), text.end()));
        return q;
    }
    static Value data(const std::string& text) { return Value(Data(text.begin(), text.end())); }
    static std::optional<Value> read(Dictionary q) {
        q.set(kSecReturnData, true);
        q.set(kSecMatchLimit, kSecMatchLimitOne);
        Value out;
        if (SecItemCopyMatching(q, &out) != errSecSuccess) return std::nullopt;
        return out;
    }

    std::filesystem::path dir_;
    std::unique_ptr<sim::ScopedHomeOverride> home_;
};

TEST_F(SecItemTest, AddReadUpdateDeleteWithStatusCodes) {
    EXPECT_EQ(read(query("a")), std::nullopt);
    EXPECT_EQ(SecItemAdd(withData(query("a"), "one")), errSecSuccess);
    EXPECT_EQ(SecItemAdd(withData(query("a"), "again")), errSecDuplicateItem);
    EXPECT_EQ(read(query("a")), data("one"));

    EXPECT_EQ(SecItemUpdate(query("a"), {{kSecValueData, data("two")}}), errSecSuccess);
    EXPECT_EQ(read(query("a")), data("two"));
    EXPECT_EQ(SecItemUpdate(query("b"), {{kSecValueData, data("x")}}), errSecItemNotFound);

    EXPECT_EQ(SecItemDelete(query("a")), errSecSuccess);
    EXPECT_EQ(SecItemDelete(query("a")), errSecItemNotFound);
    EXPECT_EQ(SecItemAdd({{kSecAttrAccount, "no class"}}), errSecParam);
}

TEST_F(SecItemTest, ItemsPersistInAPrivateFile) {
    ASSERT_EQ(SecItemAdd(withData(query("a"), "secret")), errSecSuccess);
    struct stat st {};
    ASSERT_EQ(::stat(sim::Keychain::filePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(sim::Keychain::itemCount(), 1);
}

TEST_F(SecItemTest, AccessGroupsNarrowQueriesAndKeepAccessibility) {
    auto first = withData(query("k", "group.one"), "1");
    first.set(kSecAttrAccessible, kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);
    ASSERT_EQ(SecItemAdd(first), errSecSuccess);
    ASSERT_EQ(SecItemAdd(withData(query("k", "group.two"), "2")), errSecSuccess);
    EXPECT_EQ(read(query("k", "group.two")), data("2"));
    EXPECT_EQ(read(query("k", "group.three")), std::nullopt);

    ASSERT_EQ(SecItemUpdate(query("k", "group.one"), {{kSecValueData, data("1b")}}), errSecSuccess);
    auto attrs = query("k", "group.one");
    attrs.set(kSecReturnAttributes, true);
    Value out;
    ASSERT_EQ(SecItemCopyMatching(attrs, &out), errSecSuccess);
    EXPECT_EQ(out[kSecAttrAccessible], Value(kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly));

    auto all = query("k");
    all.set(kSecReturnData, true);
    all.set(kSecMatchLimit, kSecMatchLimitAll);
    ASSERT_EQ(SecItemCopyMatching(all, &out), errSecSuccess);
    EXPECT_EQ(out, Value(Array{data("1b"), data("2")}));
    EXPECT_EQ(SecItemDelete(query("k")), errSecSuccess);  // every group
    EXPECT_EQ(sim::Keychain::itemCount(), 0);
}

TEST_F(SecItemTest, InjectedAndDiskFailuresLeaveTheStoreUnchanged) {
    ASSERT_EQ(SecItemAdd(withData(query("a"), "v")), errSecSuccess);
    struct Case {
        sim::Keychain::Operation op;
        std::function<OSStatus()> call;
    };
    std::vector<Case> cases = {
        {sim::Keychain::Operation::Add, [] { return SecItemAdd(withData(query("b"), "w")); }},
        {sim::Keychain::Operation::CopyMatching,
         [] {
             Value v;
             return SecItemCopyMatching(query("a"), &v);
         }},
        {sim::Keychain::Operation::Update,
         [] {
             return SecItemUpdate(query("a"), {{kSecValueData, data("w")}});
         }},
        {sim::Keychain::Operation::Delete, [] { return SecItemDelete(query("a")); }},
    };
    for (auto& c : cases) {
        sim::Keychain::failNext(c.op, errSecInteractionNotAllowed);
        EXPECT_EQ(c.call(), errSecInteractionNotAllowed);
    }
    sim::FileSystem::failNextWrite(ENOSPC);
    EXPECT_EQ(SecItemUpdate(query("a"), {{kSecValueData, data("w")}}), errSecIO);
    EXPECT_EQ(read(query("a")), data("v"));
    EXPECT_EQ(sim::Keychain::itemCount(), 1);
}

TEST_F(SecItemTest, NamedKeychainsAreSeparateAndCorruptFilesFailDecoding) {
    auto q = withData(query("a"), "other");
    q.set(kSecUseKeychain, "work");
    ASSERT_EQ(SecItemAdd(q), errSecSuccess);
    EXPECT_EQ(read(query("a")), std::nullopt);
    EXPECT_EQ(sim::Keychain::itemCount("work"), 1);

    std::string junk = "not a plist";
    ASSERT_TRUE(sim::FileSystem::writeFileAtomically(sim::Keychain::filePath(),
                                                     Data(junk.begin(), junk.end())));
    Value out;
    EXPECT_EQ(SecItemCopyMatching(query("a"), &out), errSecDecode);
    EXPECT_EQ(SecItemAdd(withData(query("a"), "x")), errSecDecode);
}

}  // namespace
