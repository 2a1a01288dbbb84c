#include "services/core/RZRInstallationsIIDStore.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "services/core/RZRInstallationsErrorUtil.h"
#include "services/core/tests/RZRInstallationsTestSupport.h"
#include "services/util/ZVUKeychainUtils.h"

namespace {

// What the older client archived: a record of class "RZRInstanceIDTokenInfo".
class LegacyTokenRecord : public NSObject, public NSCoding {
  public:
    explicit LegacyTokenRecord(std::string token) : token_(std::move(token)) {}
    std::string className() const override { return "RZRInstanceIDTokenInfo"; }
    void encodeWithCoder(NSCoder& coder) const override { coder.encodeObject(Id(token_), "token"); }
    bool supportsSecureCoding() const override { return true; }

  private:
    std::string token_;
};

}  // namespace

// Legacy data as the older client left it on disk and in the keychain.
void writeLegacyMarker(bool withFlag) {
    Dictionary marker;
    if (withFlag) marker.set(RZRInstallationsIIDStore::kPlistFlagKey, Value("1"));
    marker.set("other", Value("kept"));
    std::filesystem::create_directories(
        std::filesystem::path(RZRInstallationsIIDStore::plistPath()).parent_path());
    auto data =
        PropertyListSerialization::dataWithPropertyList(Value(marker), PropertyListFormat::XML);
    ASSERT_TRUE(sim::FileSystem::writeFileAtomically(RZRInstallationsIIDStore::plistPath(), *data));
}

void addLegacyKey(const char* prefix, const Data& keyData) {
    auto store = RZRInstallationsIIDStore::init();
    Dictionary item = store->keyPairQueryWithTag(
        RZRInstallationsIIDStore::keychainKeyTagWithPrefix(prefix), false);
    // The class tells the pair apart when there is no bundle identifier to tag them.
    const bool isPublic = std::string(prefix) == RZRInstallationsIIDStore::kPublicKeyTagPrefix;
    item.set(kSecAttrKeyClass, Value(isPublic ? kSecAttrKeyClassPublic : kSecAttrKeyClassPrivate));
    item.set(kSecValueData, Value(keyData));
    ASSERT_EQ(SecItemAdd(item), errSecSuccess);
}

void addLegacyToken(const std::string& senderID, const std::string& token) {
    auto data = NSKeyedArchiver::archivedDataWithRootObject(
        Id(std::make_shared<LegacyTokenRecord>(token)), true);
    ASSERT_TRUE(data);
    Dictionary item = RZRInstallationsIIDTokenStore::initWithZCMSenderID(senderID)
                          ->IIDDefaultTokenDataKeychainQuery();
    item.set(kSecValueData, Value(*data));
    ASSERT_EQ(SecItemAdd(item), errSecSuccess);
}

class RZRInstallationsIIDStoreTest : public InstallationsTest {};

TEST_F(RZRInstallationsIIDStoreTest, TheLegacyIdentifierNeedsTheMarkerAndTheKey) {
    auto store = RZRInstallationsIIDStore::init();
    std::optional<NSError> error;

    addLegacyKey(RZRInstallationsIIDStore::kPublicKeyTagPrefix, {0x01, 0x02, 0x03});
    await(store->existingIID(), &error);
    EXPECT_TRUE(error) << "no marker list";

    writeLegacyMarker(false);
    await(store->existingIID(), &error);
    EXPECT_TRUE(error) << "marker list without the flag";

    writeLegacyMarker(true);
    PRMValue iid = await(store->existingIID(), &error);
    ASSERT_FALSE(error);
    const std::string text = *iid.value()->asString();
    EXPECT_EQ(text.size(), 11u);
    EXPECT_NE(std::string("cdef").find(text[0]), std::string::npos);
    EXPECT_EQ(text, RZRInstallationsIIDStore::IIDWithPublicKeyData({0x01, 0x02, 0x03}));

    // Without the key item every such device would share the identifier of
    // the empty digest: there is none to carry over.
    await(store->deleteExistingIID(), &error);
    ASSERT_FALSE(error);
    writeLegacyMarker(true);
    await(store->existingIID(), &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, PRMPromiseErrorDomain);
}

TEST_F(RZRInstallationsIIDStoreTest, DeletingRemovesTheFlagAndBothKeysAndReportsKeychainFailures) {
    auto store = RZRInstallationsIIDStore::init();
    writeLegacyMarker(true);
    addLegacyKey(RZRInstallationsIIDStore::kPublicKeyTagPrefix, {0x09});
    addLegacyKey(RZRInstallationsIIDStore::kPrivateKeyTagPrefix, {0x0A});
    std::optional<NSError> error;
    await(store->deleteExistingIID(), &error);
    ASSERT_FALSE(error);
    EXPECT_FALSE(RZRInstallationsIIDStore::hasPlistIIDFlag());
    EXPECT_TRUE(std::filesystem::exists(RZRInstallationsIIDStore::plistPath()));
    EXPECT_FALSE(store->IIDPublicKeyData());
    Value found;
    EXPECT_EQ(SecItemCopyMatching(
                  store->keyPairQueryWithTag(RZRInstallationsIIDStore::keychainKeyTagWithPrefix(
                                                 RZRInstallationsIIDStore::kPrivateKeyTagPrefix),
                                             true),
                  &found),
              errSecItemNotFound);

    await(store->deleteExistingIID(), &error);
    EXPECT_FALSE(error) << "nothing left to delete";

    sim::Keychain::failNext(sim::Keychain::Operation::Delete, errSecInteractionNotAllowed);
    await(store->deleteExistingIID(), &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 1);
    EXPECT_EQ(RZRInstallationsErrorUtil::failureReason(*error), "SecItemDelete (-25308)");
}

TEST_F(RZRInstallationsIIDStoreTest, TheLegacyTokenIsReadFromItsArchive) {
    auto tokens = RZRInstallationsIIDTokenStore::initWithZCMSenderID("12345");
    std::optional<NSError> error;
    await(tokens->existingIIDDefaultToken(), &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(RZRInstallationsErrorUtil::failureReason(*error),
              "IID token data stored in Keychain is corrupted or in an incompatible format.");

    addLegacyToken("12345", "legacy-token");
    EXPECT_EQ(await(tokens->existingIIDDefaultToken(), &error), PRMValue("legacy-token"));
    EXPECT_FALSE(error);
    EXPECT_EQ(tokens->IIDDefaultTokenDataKeychainQuery()[kSecAttrService], Value("12345:*"));

    auto other = RZRInstallationsIIDTokenStore::initWithZCMSenderID("999");
    addLegacyToken("999", "");
    await(other->existingIIDDefaultToken(), &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(RZRInstallationsErrorUtil::failureReason(*error),
              "IID token data stored in Keychain is corrupted or in an incompatible format.");
}
